// A strict reader of scenario JSON: every value is read through a table of
// known keys with its type and range, and every refusal names the key path
// (or the line, for a syntax error), so that a typo in a scenario can never
// turn silently into a default.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Why a scenario was refused and where: a key path such as
// "scanner.faults[2].kind", "(top level)", or "line 4, column 7".
struct ScenarioError {
    std::string where;
    std::string message;
};

// A name a scenario may write for a numeric setting.
struct ScenarioChoice {
    const char* name;
    std::uint32_t value;
};

// One JSON value together with the key path that leads to it.
class ScenarioValue {
public:
    ScenarioValue(const nlohmann::json& json, std::string path);

    const nlohmann::json& Json() const { return *m_json; }
    const std::string& Path() const { return m_path; }

    [[noreturn]] void Refuse(const std::string& message) const;

    bool Bool() const;
    // An integer within [min, max]; fractions, booleans and text are refused.
    std::int64_t Integer(std::int64_t min, std::int64_t max) const;
    std::uint16_t U16() const { return static_cast<std::uint16_t>(Integer(0, 0xFFFF)); }
    std::uint32_t U32() const { return static_cast<std::uint32_t>(Integer(0, 0xFFFFFFFFLL)); }
    // A 16-bit identifier: an integer, or text "0x" followed by 1 to 4
    // hexadecimal digits (USB and language ids are written in hex by habit).
    std::uint16_t Id16() const;
    std::string Text() const;
    // Text that may not be empty.
    std::string NonEmptyText() const;
    // One of the names in `choices`.
    std::uint32_t Choice(std::span<const ScenarioChoice> choices) const;
    // The elements of an array of at most `maxCount` elements.
    std::vector<ScenarioValue> Elements(std::size_t maxCount) const;

    void RequireObject() const;
    bool Has(const char* key) const;
    ScenarioValue Member(const char* key) const;

private:
    const nlohmann::json* m_json;
    std::string m_path;
};

// One known key of an object: how its value is read into the target.
template <class Target> struct ScenarioField {
    const char* key;
    void (*read)(const ScenarioValue& value, Target& target);
    bool required = false;
};

[[noreturn]] void RefuseUnknownKey(const ScenarioValue& object, const std::string& key);
[[noreturn]] void RefuseMissingKey(const ScenarioValue& object, const char* key);

// Reads every member of `object` through `fields`: an unknown key, or a
// required key that is absent, is refused.
template <class Target>
void ReadFields(const ScenarioValue& object, Target& target, std::span<const ScenarioField<Target>> fields)
{
    object.RequireObject();
    for (auto it = object.Json().begin(); it != object.Json().end(); ++it) {
        const ScenarioField<Target>* field = nullptr;
        for (const auto& candidate : fields) {
            if (it.key() == candidate.key) {
                field = &candidate;
                break;
            }
        }
        if (field == nullptr) {
            RefuseUnknownKey(object, it.key());
        }
        field->read(object.Member(field->key), target);
    }
    for (const auto& field : fields) {
        if (field.required && !object.Has(field.key)) {
            RefuseMissingKey(object, field.key);
        }
    }
}

// A scenario file may hold at most this many bytes: far more than any
// world needs, and little enough that reading one costs little memory.
constexpr std::size_t SCENARIO_MAX_BYTES = 4u << 20;
// Objects and arrays may nest at most this deep.
constexpr std::size_t SCENARIO_MAX_DEPTH = 64;

// Parses JSON with comments. A syntax error, a number out of a double's
// range, a NUL byte anywhere, nesting deeper than SCENARIO_MAX_DEPTH, or a
// key that appears twice in one object (JSON parsers otherwise keep the
// last one silently), is refused; the error names the line and column, or
// the key path.
nlohmann::json ParseScenarioText(const std::string& text);

// Reads a whole scenario file: false with *error set ("NAME: ...") when it
// cannot be opened, is not a regular file, or holds more than
// SCENARIO_MAX_BYTES.
bool ReadScenarioFile(const std::string& name, std::string* text, std::string* error);

// The same checked reading for any input of at most maxBytes; `what` names
// the kind of file in the refusal ("a replay capture may hold at most N").
bool ReadBoundedFile(const std::string& name, std::size_t maxBytes, const char* what, std::string* text,
                     std::string* error);

// A USB capture to replay is refused above this size: far more than any
// real update session records, small enough to hold in memory.
constexpr std::size_t REPLAY_MAX_BYTES = 64U * 1024U * 1024U;

// `text` with every byte that is not printable ASCII written as an escape
// (\n, \r, \t, or \x and two lower-case hex digits), so that a refusal
// that quotes the input stays one honest line on any terminal.
std::string PrintableText(const std::string& text);

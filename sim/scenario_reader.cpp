#include "sim/scenario_reader.h"

#include <cstdio>
#include <set>

using nlohmann::json;

namespace {

const char* TypeName(const json& value)
{
    switch (value.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_float: return "a fraction";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "an integer";
    case json::value_t::string: return "text";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    default: return "an unusable value";
    }
}

std::string ChildPath(const std::string& parent, const std::string& key)
{
    return parent.empty() ? key : parent + "." + key;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where the parser stands while it reads: one frame per open object or
// array, so that a duplicate key can be reported with its full path.
struct OpenContainer {
    bool array = false;
    std::size_t index = 0;
    std::string key;
    std::set<std::string> keys;
};

std::string PathOfOpenContainers(const std::vector<OpenContainer>& stack)
{
    std::string path;
    // The innermost frame is the container being read; its parent frames
    // tell how we got there.
    for (std::size_t i = 0; i + 1 < stack.size(); ++i) {
        const OpenContainer& frame = stack[i];
        if (frame.array) {
            path += "[" + std::to_string(frame.index) + "]";
        } else {
            path = ChildPath(path, frame.key);
        }
    }
    return path;
}

void CountElementDone(std::vector<OpenContainer>& stack)
{
    if (!stack.empty() && stack.back().array) ++stack.back().index;
}

}  // namespace

ScenarioValue::ScenarioValue(const json& value, std::string path) : m_json(&value), m_path(std::move(path)) {}

void ScenarioValue::Refuse(const std::string& message) const
{
    throw ScenarioError{m_path.empty() ? "(top level)" : m_path, message};
}

bool ScenarioValue::Bool() const
{
    if (!m_json->is_boolean()) Refuse(std::string("must be true or false, not ") + TypeName(*m_json));
    return m_json->get<bool>();
}

std::int64_t ScenarioValue::Integer(std::int64_t min, std::int64_t max) const
{
    const std::string range = "from " + std::to_string(min) + " to " + std::to_string(max);
    // The parser keeps every non-negative literal as unsigned, so both
    // bounds are checked here too.
    if (m_json->is_number_unsigned()) {
        const std::uint64_t value = m_json->get<std::uint64_t>();
        if (max < 0 || value > static_cast<std::uint64_t>(max) ||
            static_cast<std::int64_t>(value) < min) {
            Refuse("out of range: must be " + range);
        }
        return static_cast<std::int64_t>(value);
    }
    if (m_json->is_number_integer()) {
        const std::int64_t value = m_json->get<std::int64_t>();
        if (value < min || value > max) Refuse("out of range: must be " + range);
        return value;
    }
    Refuse(std::string("must be an integer ") + range + ", not " + TypeName(*m_json));
}

std::uint16_t ScenarioValue::Id16() const
{
    if (!m_json->is_string()) return U16();
    const std::string text = m_json->get<std::string>();
    if (text.size() < 3 || text.size() > 6 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        Refuse("must be an integer or text 0x followed by 1 to 4 hexadecimal digits, not \"" + text + "\"");
    }
    unsigned value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0) Refuse("\"" + text + "\" is not hexadecimal");
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

std::string ScenarioValue::Text() const
{
    if (!m_json->is_string()) Refuse(std::string("must be text, not ") + TypeName(*m_json));
    return m_json->get<std::string>();
}

std::string ScenarioValue::NonEmptyText() const
{
    std::string text = Text();
    if (text.empty()) Refuse("may not be empty");
    return text;
}

std::uint32_t ScenarioValue::Choice(std::span<const ScenarioChoice> choices) const
{
    std::string names;
    for (const auto& choice : choices) {
        if (!names.empty()) names += ", ";
        names += std::string("\"") + choice.name + "\"";
    }
    if (!m_json->is_string()) Refuse("must be one of " + names + ", not " + TypeName(*m_json));
    const std::string text = m_json->get<std::string>();
    for (const auto& choice : choices) {
        if (text == choice.name) return choice.value;
    }
    Refuse("unknown value \"" + text + "\"; must be one of " + names);
}

std::vector<ScenarioValue> ScenarioValue::Elements(std::size_t maxCount) const
{
    if (!m_json->is_array()) Refuse(std::string("must be an array, not ") + TypeName(*m_json));
    if (m_json->size() > maxCount) {
        Refuse("holds " + std::to_string(m_json->size()) + " elements; at most " + std::to_string(maxCount) +
               " are allowed");
    }
    std::vector<ScenarioValue> elements;
    for (std::size_t i = 0; i < m_json->size(); ++i) {
        elements.emplace_back((*m_json)[i], m_path + "[" + std::to_string(i) + "]");
    }
    return elements;
}

void ScenarioValue::RequireObject() const
{
    if (!m_json->is_object()) Refuse(std::string("must be an object, not ") + TypeName(*m_json));
}

bool ScenarioValue::Has(const char* key) const
{
    return m_json->is_object() && m_json->contains(key);
}

ScenarioValue ScenarioValue::Member(const char* key) const
{
    return ScenarioValue(m_json->at(key), ChildPath(m_path, key));
}

void RefuseUnknownKey(const ScenarioValue& object, const std::string& key)
{
    throw ScenarioError{ChildPath(object.Path(), key), "unknown key"};
}

void RefuseMissingKey(const ScenarioValue& object, const char* key)
{
    throw ScenarioError{ChildPath(object.Path(), key), "missing (this key is required)"};
}

json ParseScenarioText(const std::string& text)
{
    std::vector<OpenContainer> stack;
    auto track = [&stack](int, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
            stack.push_back(OpenContainer{});
            break;
        case json::parse_event_t::array_start:
            stack.push_back(OpenContainer{true, 0, {}, {}});
            break;
        case json::parse_event_t::key: {
            OpenContainer& frame = stack.back();
            frame.key = parsed.get<std::string>();
            if (!frame.keys.insert(frame.key).second) {
                std::string path = PathOfOpenContainers(stack);
                throw ScenarioError{ChildPath(path, frame.key), "appears twice in one object"};
            }
            break;
        }
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            stack.pop_back();
            CountElementDone(stack);
            break;
        case json::parse_event_t::value:
            CountElementDone(stack);
            break;
        }
        return true;
    };
    try {
        return json::parse(text, track, true, true);
    } catch (const json::parse_error& error) {
        // The parser counts the byte it stopped at from 1; lines and columns
        // are what an editor shows.
        const std::size_t end = error.byte == 0 ? 0 : std::min<std::size_t>(error.byte - 1, text.size());
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < end; ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        std::string message = error.what();
        const std::size_t detail = message.find("syntax error");
        if (detail != std::string::npos) message = message.substr(detail);
        throw ScenarioError{"line " + std::to_string(line) + ", column " + std::to_string(column),
                            message};
    }
}

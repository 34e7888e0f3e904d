#include "scenario_runner/scenario_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

using nlohmann::json;

namespace {

const char* TypeName(const json& value)
{
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::boolean:
        return "a boolean";
    case json::value_t::number_float:
        return "a fraction";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
        return "an integer";
    case json::value_t::string:
        return "text";
    case json::value_t::array:
        return "an array";
    case json::value_t::object:
        return "an object";
    default:
        return "an unusable value";
    }
}

std::string ChildPath(const std::string& parent, const std::string& key)
{
    return parent.empty() ? key : parent + "." + key;
}

int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
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
    if (!stack.empty() && stack.back().array) {
        ++stack.back().index;
    }
}

}  // namespace

ScenarioValue::ScenarioValue(const json& value, std::string path) : m_json(&value), m_path(std::move(path))
{
}

void ScenarioValue::Refuse(const std::string& message) const
{
    throw ScenarioError{m_path.empty() ? "(top level)" : m_path, message};
}

bool ScenarioValue::Bool() const
{
    if (!m_json->is_boolean()) {
        Refuse(std::string("must be true or false, not ") + TypeName(*m_json));
    }
    return m_json->get<bool>();
}

std::int64_t ScenarioValue::Integer(std::int64_t min, std::int64_t max) const
{
    const std::string range = "from " + std::to_string(min) + " to " + std::to_string(max);
    // The parser keeps every non-negative literal as unsigned, so both
    // bounds are checked here too.
    if (m_json->is_number_unsigned()) {
        const std::uint64_t value = m_json->get<std::uint64_t>();
        if (max < 0 || value > static_cast<std::uint64_t>(max) || static_cast<std::int64_t>(value) < min) {
            Refuse("out of range: must be " + range);
        }
        return static_cast<std::int64_t>(value);
    }
    if (m_json->is_number_integer()) {
        const std::int64_t value = m_json->get<std::int64_t>();
        if (value < min || value > max) {
            Refuse("out of range: must be " + range);
        }
        return value;
    }
    Refuse(std::string("must be an integer ") + range + ", not " + TypeName(*m_json));
}

std::uint16_t ScenarioValue::Id16() const
{
    if (!m_json->is_string()) {
        return U16();
    }
    const std::string text = m_json->get<std::string>();
    if (text.size() < 3 || text.size() > 6 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        Refuse("must be an integer or text 0x followed by 1 to 4 hexadecimal digits, not \"" + text + "\"");
    }
    unsigned value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0) {
            Refuse("\"" + text + "\" is not hexadecimal");
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

std::string ScenarioValue::Text() const
{
    if (!m_json->is_string()) {
        Refuse(std::string("must be text, not ") + TypeName(*m_json));
    }
    return m_json->get<std::string>();
}

std::string ScenarioValue::NonEmptyText() const
{
    std::string text = Text();
    if (text.empty()) {
        Refuse("may not be empty");
    }
    return text;
}

std::uint32_t ScenarioValue::Choice(std::span<const ScenarioChoice> choices) const
{
    std::string names;
    for (const auto& choice : choices) {
        if (!names.empty()) {
            names += ", ";
        }
        names += std::string("\"") + choice.name + "\"";
    }
    if (!m_json->is_string()) {
        Refuse("must be one of " + names + ", not " + TypeName(*m_json));
    }
    const std::string text = m_json->get<std::string>();
    for (const auto& choice : choices) {
        if (text == choice.name) {
            return choice.value;
        }
    }
    Refuse("unknown value \"" + text + "\"; must be one of " + names);
}

std::vector<ScenarioValue> ScenarioValue::Elements(std::size_t maxCount) const
{
    if (!m_json->is_array()) {
        Refuse(std::string("must be an array, not ") + TypeName(*m_json));
    }
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
    if (!m_json->is_object()) {
        Refuse(std::string("must be an object, not ") + TypeName(*m_json));
    }
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

namespace {

std::string LineAndColumn(const std::string& text, std::size_t end)
{
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < end && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Builds the document from the parser's events. Going through events
// rather than the library's own tree builder keeps the position of every
// error the library reports, a number out of a double's range included,
// and lets a key given twice be refused with its path.
class ScenarioBuilder : public json::json_sax_t {
public:
    explicit ScenarioBuilder(const std::string& text) : m_text(text) { }

    json& Root() { return m_root; }

    bool null() override { return Put(nullptr); }
    bool boolean(bool value) override { return Put(value); }
    bool number_integer(number_integer_t value) override { return Put(value); }
    bool number_unsigned(number_unsigned_t value) override { return Put(value); }
    bool number_float(number_float_t value, const string_t&) override { return Put(value); }
    bool string(string_t& value) override { return Put(std::move(value)); }
    bool binary(binary_t&) override { return Put(nullptr); }  // JSON text holds no binary values

    bool start_object(std::size_t) override { return Open(json::object(), false); }
    bool start_array(std::size_t) override { return Open(json::array(), true); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t& key) override
    {
        OpenContainer& frame = m_frames.back();
        frame.key = key;
        if (!frame.keys.insert(key).second) {
            throw ScenarioError{ChildPath(PathOfOpenContainers(m_frames), key), "appears twice in one object"};
        }
        m_member = &(*m_open.back())[key];
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const json::exception& error) override
    {
        // The library counts the character it stopped at from 1; lines
        // and columns are what an editor shows.
        // The library's own text repeats the position as it counts it;
        // keep what comes after.
        std::string message = error.what();
        const std::size_t syntax = message.find("syntax error");
        const std::size_t prefix = message.find("] ");
        if (syntax != std::string::npos) {
            message = message.substr(syntax);
        } else if (prefix != std::string::npos) {
            message = message.substr(prefix + 2);
        }
        throw ScenarioError{LineAndColumn(m_text, position == 0 ? 0 : position - 1), message};
    }

private:
    json* Place(json value)
    {
        if (m_open.empty()) {
            m_root = std::move(value);
            return &m_root;
        }
        json& container = *m_open.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        *m_member = std::move(value);
        return m_member;
    }

    bool Put(json value)
    {
        Place(std::move(value));
        CountElementDone(m_frames);
        return true;
    }

    bool Open(json container, bool array)
    {
        // Scenarios nest a handful of levels; a file of brackets would
        // otherwise cost memory for every level.
        m_frames.push_back(OpenContainer{array, 0, {}, {}});
        if (m_frames.size() > SCENARIO_MAX_DEPTH) {
            const std::string path = PathOfOpenContainers(m_frames);
            throw ScenarioError{path.empty() ? "(top level)" : path,
                                "nested more than " + std::to_string(SCENARIO_MAX_DEPTH) + " levels deep"};
        }
        m_open.push_back(Place(std::move(container)));
        return true;
    }

    bool Close()
    {
        m_open.pop_back();
        m_frames.pop_back();
        CountElementDone(m_frames);
        return true;
    }

    const std::string& m_text;
    json m_root;
    std::vector<json*> m_open;  // the containers being filled, innermost last
    std::vector<OpenContainer> m_frames;
    json* m_member = nullptr;  // the object member the next value goes to
};

}  // namespace

json ParseScenarioText(const std::string& text)
{
    // The parser takes a NUL byte for the end of the input and would
    // quietly ignore whatever follows it.
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        throw ScenarioError{LineAndColumn(text, nul),
                            "a NUL byte: a scenario is text, and nothing may follow its value"};
    }
    ScenarioBuilder builder(text);
    json::sax_parse(text, &builder, json::input_format_t::json, true, true);
    return std::move(builder.Root());
}

std::string PrintableText(const std::string& text)
{
    std::string printable;
    printable.reserve(text.size());
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7F) {
            printable.push_back(ch);
        } else if (byte == '\n') {
            printable += "\\n";
        } else if (byte == '\r') {
            printable += "\\r";
        } else if (byte == '\t') {
            printable += "\\t";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            printable += escaped;
        }
    }
    return printable;
}

bool ReadScenarioFile(const std::string& name, std::string* text, std::string* error)
{
    return ReadBoundedFile(name, SCENARIO_MAX_BYTES, "a scenario", text, error);
}

bool ReadBoundedFile(const std::string& name, std::size_t maxBytes, const char* what, std::string* text,
                     std::string* error)
{
    const int file = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0) {
        *error = name + ": cannot be read";
        return false;
    }
    struct stat facts { };
    bool ok = fstat(file, &facts) == 0;
    if (ok && !S_ISREG(facts.st_mode)) {
        *error = name + ": not a regular file";
        ok = false;
    } else if (ok && facts.st_size > static_cast<off_t>(maxBytes)) {
        *error = name + ": " + std::to_string(facts.st_size) + " bytes; " + what + " may hold at most " +
                 std::to_string(maxBytes);
        ok = false;
    } else if (!ok) {
        *error = name + ": cannot be read";
    }
    // Read one byte past the cap, so that a file that grew after the size
    // was taken is refused too rather than cut short.
    std::string content;
    while (ok) {
        char buffer[65536];
        const ssize_t got = read(file, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = name + ": cannot be read";
            ok = false;
        } else if (got == 0) {
            break;
        } else if (content.size() + static_cast<std::size_t>(got) > maxBytes) {
            *error = name + ": more than " + std::to_string(maxBytes) + " bytes; " + what + " may hold at most " +
                     std::to_string(maxBytes);
            ok = false;
        } else {
            content.append(buffer, static_cast<std::size_t>(got));
        }
    }
    close(file);
    if (ok) {
        *text = std::move(content);
    }
    return ok;
}

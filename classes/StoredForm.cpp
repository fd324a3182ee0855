#include "classes/StoredForm.h"

#include "classes/Exceptions.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>

namespace qdo {

namespace {

bool IsIdentifierByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

// Reads one form line at a time, token by token.
class FormLexer {
public:
    explicit FormLexer(std::string_view line) : line_(line) {}

    void SkipBlanks() {
        while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t'))
            ++pos_;
    }
    bool AtEnd() {
        SkipBlanks();
        return pos_ >= line_.size();
    }
    std::string Identifier() {
        SkipBlanks();
        size_t start = pos_;
        while (pos_ < line_.size() && IsIdentifierByte(line_[pos_]))
            ++pos_;
        return std::string(line_.substr(start, pos_ - start));
    }
    bool Take(char c) {
        SkipBlanks();
        if (pos_ < line_.size() && line_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    TFormValue Value() {
        SkipBlanks();
        if (pos_ >= line_.size())
            throw EReadError("Stored form: a value is missing");
        const char c = line_[pos_];
        if (c == '\'' || c == '#')
            return TFormValue(TFormValue::vkString, Text());
        if (c == '-' || (c >= '0' && c <= '9')) {
            size_t start = pos_++;
            while (pos_ < line_.size() && line_[pos_] >= '0' && line_[pos_] <= '9')
                ++pos_;
            return TFormValue(TFormValue::vkInteger,
                              std::string(line_.substr(start, pos_ - start)));
        }
        std::string name = Identifier();
        if (name.empty())
            throw EReadError("Stored form: unexpected '" + std::string(1, c) + "'");
        return TFormValue(TFormValue::vkIdentifier, name);
    }

private:
    std::string Text() {
        std::string text;
        while (pos_ < line_.size()) {
            if (line_[pos_] == '\'') {
                ++pos_;
                while (true) {
                    if (pos_ >= line_.size())
                        throw EReadError("Stored form: a text is not closed");
                    if (line_[pos_] == '\'') {
                        if (pos_ + 1 < line_.size() && line_[pos_ + 1] == '\'') {
                            text += '\'';
                            pos_ += 2;
                            continue;
                        }
                        ++pos_;
                        break;
                    }
                    text += line_[pos_++];
                }
            } else if (line_[pos_] == '#') {
                size_t start = ++pos_;
                unsigned code = 0;
                auto result =
                    std::from_chars(line_.data() + start, line_.data() + line_.size(), code);
                if (result.ptr == line_.data() + start || code > 255)
                    throw EReadError("Stored form: a byte code is not 0..255");
                pos_ = static_cast<size_t>(result.ptr - line_.data());
                text += static_cast<char>(code);
            } else {
                break;
            }
        }
        return text;
    }

    std::string_view line_;
    size_t pos_ = 0;
};

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return lines;
}

struct RegisteredClass {
    std::string page;
    TComponentFactory factory;
};

std::mutex registryMutex;
std::map<std::string, RegisteredClass>& Registry() {
    static std::map<std::string, RegisteredClass> registry;
    return registry;
}

// "object Name: TClass" or "object TClass": the name and the class.
std::pair<std::string, std::string> ObjectHeader(std::string_view line) {
    FormLexer lexer(line);
    if (lexer.Identifier() != "object")
        throw EReadError("Stored form: it does not begin with 'object'");
    std::string first = lexer.Identifier();
    if (lexer.Take(':'))
        return {first, lexer.Identifier()};
    return {"", first};
}

} // namespace

int64_t TFormValue::AsInteger() const {
    int64_t value = 0;
    auto result = std::from_chars(text_.data(), text_.data() + text_.size(), value);
    if (kind_ != vkInteger || result.ec != std::errc() || result.ptr != text_.data() + text_.size())
        throw EReadError("Stored form: an integer was expected");
    return value;
}

const std::string& TFormValue::AsString() const {
    if (kind_ != vkString)
        throw EReadError("Stored form: a text was expected");
    return text_;
}

const std::string& TFormValue::AsIdentifier() const {
    if (kind_ != vkIdentifier)
        throw EReadError("Stored form: a name was expected");
    return text_;
}

bool TFormValue::AsBoolean() const {
    if (kind_ == vkIdentifier && text_ == "True")
        return true;
    if (kind_ == vkIdentifier && text_ == "False")
        return false;
    throw EReadError("Stored form: True or False was expected");
}

std::string FormString(std::string_view bytes) {
    std::string out;
    bool quoted = false;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 32 && byte < 127) {
            if (!quoted)
                out += '\'';
            quoted = true;
            out += c;
            if (c == '\'')
                out += '\'';
        } else {
            if (quoted)
                out += '\'';
            quoted = false;
            out += '#';
            out += std::to_string(byte);
        }
    }
    if (quoted)
        out += '\'';
    return out.empty() ? "''" : out;
}

std::string FormInteger(int64_t value) {
    return std::to_string(value);
}

std::string FormBoolean(bool value) {
    return value ? "True" : "False";
}

void TComponent::GetPublishedProperties(std::vector<TPublishedProperty>& properties) {
    properties.push_back(
        {"Tag", [this] { return FormInteger(Tag()); },
         [this](const TFormValue& v) { SetTag(static_cast<intptr_t>(v.AsInteger())); }, "0"});
}

std::vector<TPublishedProperty> PublishedProperties(TComponent& component) {
    std::vector<TPublishedProperty> properties;
    component.GetPublishedProperties(properties);
    return properties;
}

std::string WriteComponentForm(TComponent& component) {
    std::string form = "object ";
    if (!component.Name().empty())
        form += component.Name() + ": ";
    form += component.ClassName() + "\n";
    for (const auto& property : PublishedProperties(component)) {
        std::string value = property.Write();
        if (property.Default && *property.Default == value)
            continue;
        form += "  " + property.Name + " = " + value + "\n";
    }
    form += "end\n";
    return form;
}

void ReadComponentForm(std::string_view form, TComponent& component) {
    component.Loading();
    try {
        std::vector<std::string_view> lines = Lines(form);
        size_t at = 0;
        while (at < lines.size() && FormLexer(lines[at]).AtEnd())
            ++at;
        if (at == lines.size())
            throw EReadError("Stored form: it is empty");
        auto [name, className] = ObjectHeader(lines[at++]);
        if (className != component.ClassName())
            throw EReadError("Stored form: it holds a " + className + ", not a " +
                             component.ClassName());
        std::vector<TPublishedProperty> properties = PublishedProperties(component);
        bool ended = false;
        for (; at < lines.size(); ++at) {
            FormLexer lexer(lines[at]);
            if (lexer.AtEnd())
                continue;
            std::string property = lexer.Identifier();
            if (property == "end" && lexer.AtEnd()) {
                ended = true;
                break;
            }
            if (!lexer.Take('='))
                throw EReadError("Stored form: '=' expected after " + property);
            TFormValue value = lexer.Value();
            if (!lexer.AtEnd())
                throw EReadError("Stored form: more than one value for " + property);
            auto it = std::find_if(properties.begin(), properties.end(),
                                   [&](const TPublishedProperty& p) { return p.Name == property; });
            if (it == properties.end())
                throw EReadError("Property " + property + " does not exist");
            it->Read(value);
        }
        if (!ended)
            throw EReadError("Stored form: 'end' is missing");
        component.SetName(name);
    } catch (...) {
        component.CancelLoading();
        throw;
    }
    component.Loaded();
}

void RegisterComponentClass(const std::string& page, const std::string& className,
                            TComponentFactory factory) {
    std::lock_guard lock(registryMutex);
    Registry()[className] = RegisteredClass{page, std::move(factory)};
}

std::string PalettePageOf(const std::string& className) {
    std::lock_guard lock(registryMutex);
    auto it = Registry().find(className);
    return it == Registry().end() ? std::string() : it->second.page;
}

TComponent* CreateComponentFromForm(std::string_view form, TComponent* owner) {
    std::string className;
    for (std::string_view line : Lines(form)) {
        if (!FormLexer(line).AtEnd()) {
            className = ObjectHeader(line).second;
            break;
        }
    }
    TComponentFactory factory;
    {
        std::lock_guard lock(registryMutex);
        auto it = Registry().find(className);
        if (it == Registry().end())
            throw EReadError("Class " + className + " is not registered");
        factory = it->second.factory;
    }
    TComponent* component = factory(owner);
    try {
        ReadComponentForm(form, *component);
    } catch (...) {
        delete component;
        throw;
    }
    return component;
}

} // namespace qdo

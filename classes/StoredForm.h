// Stored forms: a component's published properties as text, and the component registry.
//
//   object QdoConnect1: TQdoConnect
//     ServerAddress = 'db.example.com'
//     ServerPort = 5000
//     Authorization.UserName = 'joe'
//     ErrorHandler = htEvent
//   end
//
// Values are integers (-12), identifiers (True, False, enumeration members) and texts: quoted
// runs with the quote doubled, and #n for a byte given by its decimal code, joined without
// separators ('line'#13#10'next'), so any byte string can be stored. A property with a
// default is written only when its value differs from the default.
//
// Reading a form sets the component's loading flag, sets the name and every property written,
// and then calls Loaded, which clears the flag and lets the component act on what it read.
#pragma once

#include "classes/Component.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

// One value of a stored form.
class QDO_API TFormValue {
public:
    enum TKind { vkInteger, vkString, vkIdentifier };

    TFormValue(TKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    TKind Kind() const noexcept { return kind_; }
    // Each fails with EReadError when the value is of another kind.
    int64_t AsInteger() const;
    const std::string& AsString() const;
    const std::string& AsIdentifier() const;
    bool AsBoolean() const; // the identifiers True and False

private:
    TKind kind_;
    std::string text_;
};

// A published property: how to write it and how to read it back.
struct TPublishedProperty {
    std::string Name;
    std::function<std::string()> Write; // the value in form syntax
    std::function<void(const TFormValue&)> Read;
    std::optional<std::string> Default; // in form syntax; the value is skipped when equal
};

// Form syntax of plain values.
QDO_API std::string FormString(std::string_view bytes);
QDO_API std::string FormInteger(int64_t value);
QDO_API std::string FormBoolean(bool value);

// The published properties of `component` (its class's own and those of its bases), in their
// published order.
QDO_API std::vector<TPublishedProperty> PublishedProperties(TComponent& component);

QDO_API std::string WriteComponentForm(TComponent& component);
// Reads `form` into `component`. Fails with EReadError on a malformed form, a class name
// other than the component's, or a property the component does not publish; the component's
// loading flag is cleared then, and Loaded is not called.
QDO_API void ReadComponentForm(std::string_view form, TComponent& component);

// The registry of component classes: for each class name, the factory with which
// CreateComponentFromForm makes a component of the class a stored form names, and the name of
// the group (`page`) the class was registered under. Registering a name again replaces its
// entry. Safe to use from any thread.
using TComponentFactory = std::function<TComponent*(TComponent* owner)>;
QDO_API void RegisterComponentClass(const std::string& page, const std::string& className,
                                    TComponentFactory factory);
// The group a class was registered under; empty when it was not registered. The library only
// records it, for a tool that lists the registered classes by group.
QDO_API std::string PalettePageOf(const std::string& className);
// Creates a component of the class the form names (which must be registered) and reads the
// form into it. The caller owns the result unless `owner` is given.
QDO_API TComponent* CreateComponentFromForm(std::string_view form, TComponent* owner = nullptr);

} // namespace qdo

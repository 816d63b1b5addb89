// The store in which a control's design-time properties are saved with the form that holds it.
// Names are case-insensitive. Writing a value equal to its default stores nothing, so reading it back
// yields the default.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

class PropertyBag {
  public:
    using Value = std::variant<std::int32_t, std::string, bool>;

    Value ReadProperty(const std::string& name, const Value& defaultValue) const;
    void WriteProperty(const std::string& name, const Value& value, const Value& defaultValue);
    bool Contains(const std::string& name) const { return values_.count(Key(name)) != 0; }

  private:
    static std::string Key(const std::string& name);
    std::map<std::string, Value> values_;
};

#include "traycontrol/PropertyBag.h"

#include <cctype>

std::string PropertyBag::Key(const std::string& name) {
    std::string key = name;
    for (char& c : key) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key;
}

PropertyBag::Value PropertyBag::ReadProperty(const std::string& name, const Value& defaultValue) const {
    auto it = values_.find(Key(name));
    if (it == values_.end() || it->second.index() != defaultValue.index()) {
        return defaultValue;
    }
    return it->second;
}

void PropertyBag::WriteProperty(const std::string& name, const Value& value, const Value& defaultValue) {
    if (value == defaultValue) {
        values_.erase(Key(name));
    } else {
        values_[Key(name)] = value;
    }
}

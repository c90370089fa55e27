// The per-user settings store: texts kept by application name, section and key.
#pragma once

#include <string>
#include <string_view>

namespace varnholt {

class SettingsStore {
  public:
    virtual ~SettingsStore() = default;

    // The entry's text, or default_value when the entry is absent.
    virtual std::string GetSetting(std::string_view application, std::string_view section,
                                   std::string_view key, std::string_view default_value) = 0;
    // Writes the entry, creating it when absent.
    virtual void SaveSetting(std::string_view application, std::string_view section,
                             std::string_view key, std::string_view value) = 0;
};

}  // namespace varnholt

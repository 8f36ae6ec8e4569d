// The per-user settings store: reads of section/entry/default under
// HKEY_CURRENT_USER\Software\<company>\<profile>, walking the whole path on every read so that
// nothing is cached and no key stays open between reads. Before a company key is named the
// reads go to an INI file named after the program instead. The one value the program writes
// itself (the highest manifest serial of a signed build) goes through WriteSetting, to the
// registry only.
#pragma once

#include <optional>

#include "framework/cstring.h"
#include "platform/handle_owners.h"

// What the engine reads and writes of the user's settings.
class ISettings {
  public:
    virtual ~ISettings() = default;
    // The stored text, or defaultValue whenever it cannot be had; never raises.
    virtual CString ReadSetting(const char* section, const char* entry,
                                const char* defaultValue) = 0;
    // Stores value as the entry's text; false when it could not be stored.
    virtual bool WriteSetting(const char* section, const char* entry, const CString& value) = 0;
};

class CSettingsStore : public ISettings {
  public:
    // The store of the program named appName (the application object's name, which it may set
    // later: the store reads it when it needs it).
    explicit CSettingsStore(const CString& appName) : m_rAppName(appName) {}

    // From now on the registry: Software\company\<the program's name>.
    void SetCompanyKey(const char* company);
    CString ReadSetting(const char* section, const char* entry, const char* defaultValue) override;
    // Stores value as the entry's text (REG_SZ) in the section, making the keys that are
    // missing; false when it could not be stored. Only the registry is written: before a
    // company key is named, nothing is.
    bool WriteSetting(const char* section, const char* entry, const CString& value) override;
    // Software\company\profile, created when missing; empty when any step fails.
    RegKey OpenAppKey();
    // The section key under it, created when missing; empty when it cannot be had.
    RegKey OpenSectionKey(const char* section);

    std::optional<CString> m_companyKey;  // none until SetCompanyKey
    // The registry profile once a company key is named; before, the INI file, which is the
    // program's name followed by ".INI" while this is empty.
    CString m_profileName;

  private:
    const CString& m_rAppName;
};

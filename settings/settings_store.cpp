#include "settings/settings_store.h"

#include <memory>
#include <new>
#include <vector>

#include "platform/win32api.h"

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

// Opens, or creates when missing, name under parent; null when that fails.
RegKey CreateOrOpen(HKEY parent, const char* name) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        return RegKey();
    }
    return RegKey(key);
}

}  // namespace

void CSettingsStore::SetCompanyKey(const char* company) {
    m_companyKey = company != nullptr ? company : "";
    m_profileName = m_rAppName;
}

RegKey CSettingsStore::OpenAppKey() {
    HKEY rawSoftware = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, kAccess, &rawSoftware) != ERROR_SUCCESS) {
        return RegKey();
    }
    RegKey software(rawSoftware);
    RegKey company = CreateOrOpen(software.get(), m_companyKey ? m_companyKey->c_str() : nullptr);
    if (!company) return RegKey();
    return CreateOrOpen(company.get(), m_profileName.c_str());
}

RegKey CSettingsStore::OpenSectionKey(const char* section) {
    RegKey app = OpenAppKey();
    if (!app) return RegKey();
    return CreateOrOpen(app.get(), section);
}

CString CSettingsStore::ReadSetting(const char* section, const char* entry,
                                    const char* defaultValue) {
    const CString fallback = defaultValue != nullptr ? defaultValue : "";
    if (!m_companyKey) {
        char buffer[4096] = {};
        GetPrivateProfileStringA(
            section, entry, fallback.c_str(), buffer, sizeof buffer,
            m_profileName.empty() ? (m_rAppName + ".INI").c_str() : m_profileName.c_str());
        return buffer;
    }

    RegKey key = OpenSectionKey(section);
    if (!key) return fallback;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), entry, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return fallback;
    }
    try {
        // One byte more than the value, zero, so that a value stored without its terminating
        // zero still ends; the text ends at the first zero byte.
        std::vector<char> data(static_cast<size_t>(size) + 1, '\0');
        if (RegQueryValueExA(key.get(), entry, nullptr, &type,
                             reinterpret_cast<LPBYTE>(data.data()), &size) != ERROR_SUCCESS) {
            return fallback;
        }
        return CString(data.data());
    } catch (const std::bad_alloc&) {
        return fallback;
    }
}

bool CSettingsStore::WriteSetting(const char* section, const char* entry, const CString& value) {
    if (!m_companyKey || value.size() >= 0xFFFFFFFFu) return false;
    RegKey key = OpenSectionKey(section);
    return key &&
           RegSetValueExA(key.get(), entry, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

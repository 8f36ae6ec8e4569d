#include "framework/window_model.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr uint32_t kWsSysMenu = 0x00080000;

}  // namespace

bool IsClass(const DialogControl& control, const char* className) {
    const char* a = control.className;
    if (a == nullptr) return false;
    for (; *a != '\0' && *className != '\0'; ++a, ++className) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*className))) {
            return false;
        }
    }
    return *a == *className;
}

CWindowModel::CWindowModel(const DialogTemplate& tmpl) : m_pTemplate(&tmpl) {
    for (int i = 0; i < tmpl.controlCount; ++i) {
        const DialogControl& c = tmpl.controls[i];
        m_controls.push_back(ControlState{&c, c.text != nullptr ? c.text : "",
                                          (c.style & dlgstyle::kDisabled) == 0,
                                          (c.style & dlgstyle::kVisible) != 0});
    }
    client = RECT{0, 0, DialogUnitsToPixelsX(tmpl.cx), DialogUnitsToPixelsY(tmpl.cy)};
    rect = client;
}

ControlState* CWindowModel::Find(int id) {
    auto it = std::find_if(m_controls.begin(), m_controls.end(),
                           [id](const ControlState& c) { return c.control->id == id; });
    return it != m_controls.end() ? &*it : nullptr;
}

const ControlState* CWindowModel::Find(int id) const {
    return const_cast<CWindowModel*>(this)->Find(id);
}

bool CWindowModel::SetPosition(int id, int position, int* previous) {
    ControlState* control = Find(id);
    *previous = 0;
    if (control == nullptr || !IsClass(*control->control, "msctls_progress32")) return false;
    *previous = control->position;
    control->position = std::clamp(position, 0, 100);
    return true;
}

bool CWindowModel::AppendMenu(UINT flags, UINT command, const char* text) {
    if ((m_pTemplate->style & kWsSysMenu) == 0) return false;
    m_menu.push_back(MenuEntry{(flags & MF_SEPARATOR) != 0, command, text != nullptr ? text : ""});
    return true;
}

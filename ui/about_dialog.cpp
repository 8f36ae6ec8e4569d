#include "ui/about_dialog.h"

#include "ui/res/resource.h"

CAboutDialog::CAboutDialog() : CDialog(IDD_ABOUTBOX, nullptr) {}

CAboutDialog::~CAboutDialog() = default;

const MessageMap* CAboutDialog::GetMessageMap() const {
    // Nothing of its own: OK and the rest are the base class's.
    static const MessageMap map{CDialog::GetMessageMap(), nullptr, 0};
    return &map;
}

void CAboutDialog::ExchangeData(CDataExchange*) {}

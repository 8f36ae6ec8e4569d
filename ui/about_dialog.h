// The About box, opened from the update dialog's window menu: the program's icon, name,
// version and copyright, closed with OK.
#pragma once

#include "framework/dialog.h"

class CAboutDialog : public CDialog {
  public:
    CAboutDialog();
    ~CAboutDialog() override;

  protected:
    const MessageMap* GetMessageMap() const override;
    void ExchangeData(CDataExchange* pDX) override;
};

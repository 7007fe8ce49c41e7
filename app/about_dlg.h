// The About box: shows the driver's status line.
#pragma once

#include "framework/wnd.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();

protected:
    void DoDataExchange(CDataExchange* dx) override;
};

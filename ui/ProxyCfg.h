// The proxy configuration dialog: it shows the per-user proxy settings
// (address, user name, password and whether the proxy is active) and has
// them written back, whole, on OK. The file is net/ProxyConfig's to read
// and write.
#pragma once

#include "framework/Wnd.h"
#include "net/ProxyConfig.h"

#include <string>

class CProxyCfg : public CDialogEx {
public:
    explicit CProxyCfg(CWnd* parent = nullptr);

    std::wstring m_address;
    std::wstring m_user;
    std::wstring m_password;
    bool m_active = false;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    /// Moves the fields to the controls, or the controls to the fields.
    void DoDataExchange(bool save);
};

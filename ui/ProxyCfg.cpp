// The proxy configuration dialog: the fields filled from ReadProxyConfig,
// and handed to WriteProxyConfig on OK.
#include "ui/ProxyCfg.h"

#include "resources/resource.h"
#include "store/Text.h"

CProxyCfg::CProxyCfg(CWnd* parent) : CDialogEx(IDD_PROXY_CONFIG, parent) {}

BOOL CProxyCfg::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    ProxySettings settings = ReadProxyConfig();
    m_active = settings.active;
    m_address = WideFromUtf8(settings.address);
    m_user = WideFromUtf8(settings.user);
    m_password = WideFromUtf8(settings.password);
    DoDataExchange(false);
    return TRUE;
}

void CProxyCfg::DoDataExchange(bool save)
{
    struct Field {
        int id;
        std::wstring* text;
    } fields[] = {{IDC_PROXY_ADDRESS, &m_address}, {IDC_PROXY_USER, &m_user}, {IDC_PROXY_PASSWORD, &m_password}};
    for (const Field& field : fields) {
        HWND control = GetDlgItem(m_hWnd, field.id);
        if (save) {
            int length = GetWindowTextLengthW(control);
            std::wstring text(static_cast<size_t>(length) + 1, L'\0');
            text.resize(static_cast<size_t>(::GetWindowTextW(control, &text[0], length + 1)));
            *field.text = text;
        } else {
            ::SetWindowTextW(control, field.text->c_str());
        }
    }
    if (save)
        m_active = IsDlgButtonChecked(m_hWnd, IDC_PROXY_ACTIVE) == BST_CHECKED;
    else
        CheckDlgButton(m_hWnd, IDC_PROXY_ACTIVE, m_active ? BST_CHECKED : BST_UNCHECKED);
}

void CProxyCfg::OnOK()
{
    DoDataExchange(true);
    ProxySettings settings;
    settings.active = m_active;
    settings.address = Utf8FromWide(m_address);
    settings.user = Utf8FromWide(m_user);
    settings.password = Utf8FromWide(m_password);
    WriteProxyConfig(settings);
    CDialogEx::OnOK();
}

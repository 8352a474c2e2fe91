#include "ui/Label.h"

#include "framework/WinApp.h"
#include "store/Text.h"

CLabel::CLabel() : m_text(GetSysColor(COLOR_WINDOWTEXT)) {}

CLabel::~CLabel()
{
    if (m_fontHandle)
        DeleteObject(m_fontHandle);
}

void CLabel::PreSubclassWindow()
{
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(WM_GETFONT));
    if (!font)
        font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    GetObjectW(font, sizeof(m_font), &m_font);
    ReconstructFont();
}

void CLabel::ReconstructFont()
{
    if (m_fontHandle)
        DeleteObject(m_fontHandle);
    m_fontHandle = CreateFontIndirectW(&m_font);
}

CLabel& CLabel::FontChanged()
{
    ReconstructFont();
    Redraw();
    return *this;
}

void CLabel::Redraw()
{
    if (!m_hWnd)
        return;
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    // A transparent label shows the parent's new background too.
    HWND parent = GetParent(m_hWnd);
    RECT rect;
    GetWindowRect(m_hWnd, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    InvalidateRect(parent, &rect, TRUE);
    UpdateWindow(parent);
}

void CLabel::RedrawFrame()
{
    if (m_hWnd)
        SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED | SWP_DRAWFRAME);
}

CLabel& CLabel::SetText(const std::wstring& text)
{
    if (m_hWnd)
        SetWindowTextW(text);
    Redraw();
    return *this;
}

CLabel& CLabel::SetText(const wchar_t* text) { return SetText(std::wstring(text ? text : L"")); }

CLabel& CLabel::SetText(const std::string& text) { return SetText(WideFromUtf8(text)); }

CLabel& CLabel::SetText(UINT id) { return SetText(AfxLoadString(id)); }

CLabel& CLabel::SetTextColor(COLORREF colour)
{
    m_text = colour;
    Redraw();
    return *this;
}

CLabel& CLabel::SetBkColor(COLORREF colour)
{
    m_background = colour;
    Redraw();
    return *this;
}

CLabel& CLabel::SetFontBold(bool bold)
{
    m_font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    return FontChanged();
}

CLabel& CLabel::SetFontItalic(bool italic)
{
    m_font.lfItalic = italic ? TRUE : FALSE;
    return FontChanged();
}

CLabel& CLabel::SetFontUnderline(bool underline)
{
    m_font.lfUnderline = underline ? TRUE : FALSE;
    return FontChanged();
}

CLabel& CLabel::SetFontSize(int points)
{
    HDC screen = GetDC(nullptr);
    m_font.lfHeight = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return FontChanged();
}

CLabel& CLabel::SetSunken(bool sunken)
{
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
    SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, sunken ? (style | WS_EX_STATICEDGE) : (style & ~WS_EX_STATICEDGE));
    RedrawFrame();
    return *this;
}

CLabel& CLabel::SetBorder(bool border)
{
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    SetWindowLongPtrW(m_hWnd, GWL_STYLE, border ? (style | WS_BORDER) : (style & ~WS_BORDER));
    RedrawFrame();
    return *this;
}

CLabel& CLabel::SetTransparent(bool transparent)
{
    m_transparent = transparent;
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
    SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, style | WS_EX_TRANSPARENT);
    Redraw();
    return *this;
}

void CLabel::Paint(HDC target)
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    // Drawn off screen first, so the text never flickers.
    HDC dc = target;
    HDC memory = nullptr;
    HBITMAP buffer = nullptr;
    HGDIOBJ oldBuffer = nullptr;
    if (!m_transparent) {
        memory = CreateCompatibleDC(target);
        buffer = CreateCompatibleBitmap(target, client.right, client.bottom);
        oldBuffer = SelectObject(memory, buffer);
        dc = memory;
        HBRUSH brush = CreateSolidBrush(m_background == CLR_INVALID ? GetSysColor(COLOR_BTNFACE) : m_background);
        FillRect(dc, &client, brush);
        DeleteObject(brush);
    }
    std::wstring text = GetWindowTextW();
    HGDIOBJ oldFont = SelectObject(dc, m_fontHandle);
    ::SetTextColor(dc, m_text);
    SetBkMode(dc, TRANSPARENT);
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    UINT format = DT_NOPREFIX;
    switch (style & SS_TYPEMASK) {
    case SS_CENTER: format |= DT_CENTER | DT_WORDBREAK; break;
    case SS_RIGHT: format |= DT_RIGHT | DT_WORDBREAK; break;
    case SS_LEFTNOWORDWRAP: format |= DT_LEFT; break;
    default: format |= DT_LEFT | DT_WORDBREAK; break;
    }
    if (text.find(L'\t') != std::wstring::npos)
        format |= DT_EXPANDTABS;
    if ((style & SS_CENTERIMAGE) && text.find(L"\r\n") == std::wstring::npos)
        format = (format & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER | DT_CENTER;
    RECT area = client;
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, format);
    SelectObject(dc, oldFont);
    if (memory) {
        BitBlt(target, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, oldBuffer);
        DeleteObject(buffer);
        DeleteDC(memory);
    }
}

LRESULT CLabel::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(m_hWnd, &paint);
        Paint(dc);
        EndPaint(m_hWnd, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_SYSCOLORCHANGE:
        Redraw();
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}

// The label's setters, its painting (background, edge, text, 3D and
// rotation), flashing, links opened on a click, and its tooltip relay.
#include "ui/Label.h"

#include "framework/WinApp.h"
#include "store/Text.h"
#include "ui/Dpi.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cmath>
#include <utility>

void tooltippable::RelayToTooltip(MSG* msg)
{
    if (!m_tooltip.m_hWnd && m_owner && m_owner->m_hWnd && m_tooltip.Create(m_owner->m_hWnd))
        m_tooltip.Activate(true);
    if (m_tooltip.m_hWnd)
        m_tooltip.RelayEvent(msg);
}

CLabel::CLabel() : tooltippable(this), m_text(GetSysColor(COLOR_WINDOWTEXT)) {}

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
    // The control's font is made for the DPI of its window.
    m_dpi = WindowDpi(m_hWnd);
    ReconstructFont();
}

CLabel& CLabel::SetDpi(UINT dpi)
{
    if (dpi == 0 || dpi == m_dpi)
        return *this;
    m_font.lfHeight = MulDiv(m_font.lfHeight, static_cast<int>(dpi), static_cast<int>(m_dpi));
    m_dpi = dpi;
    return FontChanged();
}

void CLabel::ReconstructFont()
{
    if (m_fontHandle)
        DeleteObject(m_fontHandle);
    LOGFONTW font = m_font;
    if (m_rotated)
        font.lfEscapement = font.lfOrientation = m_angle * 10; // tenths of a degree
    m_fontHandle = CreateFontIndirectW(&font);
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

CLabel& CLabel::SetBkColor(COLORREF colour, COLORREF second, int mode)
{
    m_background = colour;
    m_gradientSecond = second;
    m_backgroundMode = mode;
    Redraw();
    return *this;
}

CLabel& CLabel::SetTextColor(COLORREF colour)
{
    m_text = colour;
    Redraw();
    return *this;
}

CLabel& CLabel::SetText(UINT id) { return SetText(AfxLoadString(id)); }

CLabel& CLabel::SetText(const wchar_t* text) { return SetText(std::wstring(text ? text : L"")); }

CLabel& CLabel::SetText(const std::wstring& text)
{
    if (m_hWnd)
        SetWindowTextW(text);
    Redraw();
    return *this;
}

CLabel& CLabel::SetText(const std::string& text) { return SetText(WideFromUtf8(text)); }

CLabel& CLabel::SetFontBold(bool bold)
{
    m_font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    return FontChanged();
}

CLabel& CLabel::SetFontName(const std::wstring& name, BYTE charSet)
{
    lstrcpynW(m_font.lfFaceName, name.c_str(), LF_FACESIZE);
    m_font.lfCharSet = charSet;
    return FontChanged();
}

CLabel& CLabel::SetFontUnderline(bool underline)
{
    m_font.lfUnderline = underline ? TRUE : FALSE;
    return FontChanged();
}

CLabel& CLabel::SetFontItalic(bool italic)
{
    m_font.lfItalic = italic ? TRUE : FALSE;
    return FontChanged();
}

CLabel& CLabel::SetFontSize(int points)
{
    // A point font of that size, in tenths of a point, in the current face,
    // at the label's DPI.
    m_font.lfHeight = -MulDiv(points * 10, static_cast<int>(m_dpi), 720);
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

CLabel& CLabel::Flash(FlashMode mode, bool on)
{
    if (m_hWnd)
        KillTimer(m_hWnd, kFlashTimer);
    m_flashPhase = false;
    m_flashMode = on ? mode : kNoFlash;
    if (on && m_hWnd)
        SetTimer(m_hWnd, kFlashTimer, kFlashPeriod, nullptr);
    else if (m_hWnd)
        InvalidateRect(m_hWnd, nullptr, FALSE); // a text hidden by the last phase comes back
    return *this;
}

CLabel& CLabel::FlashText(bool on) { return Flash(kFlashText, on); }

CLabel& CLabel::FlashBackground(bool on) { return Flash(kFlashBackground, on); }

CLabel& CLabel::SetLinkMode(LinkMode mode, bool notifyParent)
{
    m_linkMode = mode;
    m_notifyParent = notifyParent;
    if (m_hWnd) {
        // Without SS_NOTIFY a static lets the mouse through to its parent.
        LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
        SetWindowLongPtrW(m_hWnd, GWL_STYLE, mode != kNoLink ? (style | SS_NOTIFY) : (style & ~SS_NOTIFY));
    }
    return *this;
}

CLabel& CLabel::SetLink(bool on, bool notifyParent) { return SetLinkMode(on ? kWebLink : kNoLink, notifyParent); }

CLabel& CLabel::SetMailLink(bool on, bool notifyParent)
{
    return SetLinkMode(on ? kMailLink : kNoLink, notifyParent);
}

CLabel& CLabel::SetLinkCursor(HCURSOR cursor)
{
    m_linkCursor = cursor;
    return *this;
}

CLabel& CLabel::Set3DText(bool on, int style)
{
    m_3dText = on;
    m_3dStyle = style;
    Redraw();
    return *this;
}

CLabel& CLabel::SetRotationAngle(int degrees, bool rotate)
{
    m_angle = degrees;
    m_rotated = rotate;
    return FontChanged();
}

CLabel& CLabel::SetText3DHiliteColor(COLORREF colour)
{
    m_hilite = colour;
    Redraw();
    return *this;
}

CLabel& CLabel::SetFont(const LOGFONTW& font)
{
    m_font = font;
    return FontChanged();
}

CLabel& CLabel::SetLinkTarget(const std::wstring& target)
{
    m_linkTarget = target;
    return *this;
}

void CLabel::FillBackground(HDC dc, const RECT& area, COLORREF solid)
{
    if (m_backgroundMode == 0 || m_background == CLR_INVALID) {
        HBRUSH brush = CreateSolidBrush(solid);
        FillRect(dc, &area, brush);
        DeleteObject(brush);
        return;
    }
    // Bands from the second colour at the left towards the first, stepped in
    // 8.8 fixed point: one band a pixel below 100 pixels, else 100 bands.
    const int width = area.right - area.left;
    if (width <= 0)
        return;
    const int bands = width < 100 ? width : 100;
    const int bandWidth = width / bands;
    const int from[3] = {GetRValue(m_gradientSecond), GetGValue(m_gradientSecond), GetBValue(m_gradientSecond)};
    const int to[3] = {GetRValue(m_background), GetGValue(m_background), GetBValue(m_background)};
    int step[3], value[3];
    for (int c = 0; c < 3; ++c) {
        step[c] = (to[c] - from[c]) * 256 / bands;
        value[c] = from[c] * 256;
    }
    for (int band = 0; band < bands; ++band) {
        RECT part = {area.left + band * bandWidth, area.top,
                     band == bands - 1 ? area.right : area.left + (band + 1) * bandWidth, area.bottom};
        HBRUSH brush = CreateSolidBrush(RGB(value[0] >> 8, value[1] >> 8, value[2] >> 8));
        FillRect(dc, &part, brush);
        DeleteObject(brush);
        for (int c = 0; c < 3; ++c)
            value[c] += step[c];
    }
}

void CLabel::Paint(HDC target)
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    COLORREF text = m_text;
    COLORREF background = m_background == CLR_INVALID ? GetSysColor(COLOR_BTNFACE) : m_background;
    if (m_flashMode == kFlashBackground && m_flashPhase)
        std::swap(text, background);
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
        if (m_flashMode == kFlashBackground && m_flashPhase) {
            HBRUSH brush = CreateSolidBrush(background);
            FillRect(dc, &client, brush);
            DeleteObject(brush);
        } else {
            FillBackground(dc, client, background);
        }
    }
    if (!(m_flashMode == kFlashText && m_flashPhase)) {
        std::wstring label = GetWindowTextW();
        HGDIOBJ oldFont = SelectObject(dc, m_fontHandle);
        SetBkMode(dc, TRANSPARENT);
        if (m_rotated) {
            // Rotated text is one line turned about the label's centre.
            SIZE size = {};
            GetTextExtentPoint32W(dc, label.c_str(), static_cast<int>(label.size()), &size);
            const double radians = m_angle * 3.14159265358979 / 180.0;
            const int x = (client.right - static_cast<int>(size.cx * cos(radians) + size.cy * sin(radians))) / 2;
            const int y = (client.bottom + static_cast<int>(size.cx * sin(radians) - size.cy * cos(radians))) / 2;
            ::SetTextColor(dc, text);
            TextOutW(dc, x, y, label.c_str(), static_cast<int>(label.size()));
        } else {
            LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
            UINT format = DT_NOPREFIX;
            switch (style & SS_TYPEMASK) {
            case SS_CENTER: format |= DT_CENTER | DT_WORDBREAK; break;
            case SS_RIGHT: format |= DT_RIGHT | DT_WORDBREAK; break;
            case SS_LEFTNOWORDWRAP: format |= DT_LEFT; break;
            default: format |= DT_LEFT | DT_WORDBREAK; break;
            }
            if (label.find(L'\t') != std::wstring::npos)
                format |= DT_EXPANDTABS;
            if ((style & SS_CENTERIMAGE) && label.find(L"\r\n") == std::wstring::npos)
                format = (format & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER | DT_CENTER;
            if (m_3dText) {
                // The highlight one pixel above left (raised) or below right (sunken).
                RECT hilite = client;
                OffsetRect(&hilite, m_3dStyle == EDGE_SUNKEN ? 1 : -1, m_3dStyle == EDGE_SUNKEN ? 1 : -1);
                ::SetTextColor(dc, m_hilite);
                DrawTextW(dc, label.c_str(), static_cast<int>(label.size()), &hilite, format);
            }
            RECT area = client;
            ::SetTextColor(dc, text);
            DrawTextW(dc, label.c_str(), static_cast<int>(label.size()), &area, format);
        }
        SelectObject(dc, oldFont);
    }
    if (memory) {
        BitBlt(target, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, oldBuffer);
        DeleteObject(buffer);
        DeleteDC(memory);
    }
}

void CLabel::OpenLink(const std::wstring& target, const wchar_t* verb)
{
    ShellExecuteW(nullptr, verb, target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void CLabel::OnClick()
{
    if (m_linkMode == kNoLink)
        return;
    if (m_notifyParent) {
        NMHDR header = {m_hWnd, static_cast<UINT_PTR>(GetDlgCtrlID(m_hWnd)), kLinkClicked};
        ::SendMessageW(GetParent(m_hWnd), WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
        return;
    }
    if (m_linkMode == kWebLink)
        OpenLink(m_linkTarget.empty() ? GetWindowTextW() : m_linkTarget, L"open");
    else
        OpenLink(L"mailto:" + GetWindowTextW(), nullptr);
}

bool CLabel::PreTranslateMessage(MSG* msg)
{
    RelayToTooltip(msg);
    return CStatic::PreTranslateMessage(msg);
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
    case WM_PRINTCLIENT:
        Paint(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_SYSCOLORCHANGE:
        Redraw();
        break;
    case WM_TIMER:
        if (wParam != kFlashTimer)
            break;
        m_flashPhase = !m_flashPhase;
        InvalidateRect(m_hWnd, nullptr, FALSE);
        return 0;
    case WM_LBUTTONUP:
        OnClick();
        break;
    case WM_MOUSEMOVE:
        if (!m_hover) {
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, m_hWnd, 0};
            TrackMouseEvent(&track);
            m_hover = true;
            Redraw();
        }
        break;
    case WM_MOUSELEAVE:
        m_hover = false;
        Redraw();
        break;
    case WM_SETCURSOR:
        if (m_linkCursor) {
            SetCursor(m_linkCursor);
            return TRUE;
        }
        break;
    case WM_DESTROY:
        KillTimer(m_hWnd, kFlashTimer);
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}

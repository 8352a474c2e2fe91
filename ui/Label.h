// A static text control that paints itself: solid or gradient backgrounds,
// colours, a font description every setter changes, a sunken edge or border,
// line breaks, flashing, web and mail links, 3D and rotated text. Texts may be
// set from UTF-8. Every operation returns the label, so calls chain.
#pragma once

#include "framework/Controls.h"

#include <string>

/// A tooltip control for its owner window, created on first use and fed every
/// message the owner pre-translates.
class tooltippable {
public:
    explicit tooltippable(CWnd* owner) : m_owner(owner) {}
    virtual ~tooltippable() = default;
    tooltippable(const tooltippable&) = delete;
    tooltippable& operator=(const tooltippable&) = delete;

    /// Creates and activates the tooltip when it does not exist yet, then
    /// relays msg to it.
    void RelayToTooltip(MSG* msg);
    HWND Tooltip() const { return m_tooltip.m_hWnd; }

private:
    CWnd* m_owner;
    CToolTipCtrl m_tooltip;
};

class CLabel : public CStatic, public tooltippable {
public:
    enum LinkMode { kNoLink = 0, kWebLink = 1, kMailLink = 2 };
    enum FlashMode { kNoFlash = 0, kFlashText = 1, kFlashBackground = 2 };
    /// WM_NOTIFY code a link label sends its parent in notify mode.
    static constexpr UINT kLinkClicked = 0x8200;
    /// Timer of the flashing, and its period.
    static constexpr UINT_PTR kFlashTimer = 1;
    static constexpr UINT kFlashPeriod = 500;

    CLabel();
    ~CLabel() override;

    /// Mode 0: solid fill with colour; any other mode: a horizontal gradient
    /// from second (left) to colour (right).
    virtual CLabel& SetBkColor(COLORREF colour, COLORREF second = 0, int mode = 0);
    virtual CLabel& SetTextColor(COLORREF colour);
    /// The text of string-table entry id.
    virtual CLabel& SetText(UINT id);
    virtual CLabel& SetText(const wchar_t* text);
    /// The common end of every text setter: the window text (when the window
    /// exists), then the redraw.
    virtual CLabel& SetText(const std::wstring& text);
    /// A narrow text is UTF-8, like every narrow text of the launcher.
    virtual CLabel& SetText(const std::string& text);
    /// The custom background colour (CLR_INVALID when none is set).
    virtual COLORREF GetBkColor() const { return m_background; }
    virtual CLabel& SetFontBold(bool bold);
    virtual CLabel& SetFontName(const std::wstring& name, BYTE charSet = DEFAULT_CHARSET);
    virtual CLabel& SetFontUnderline(bool underline);
    virtual CLabel& SetFontItalic(bool italic);
    virtual CLabel& SetFontSize(int points);
    /// Only the frame is redrawn.
    virtual CLabel& SetSunken(bool sunken);
    virtual CLabel& SetBorder(bool border);
    virtual CLabel& SetTransparent(bool transparent);
    /// Timer 1 every 500 ms hides and shows the text, or swaps text and
    /// background colours; off stops it.
    virtual CLabel& FlashText(bool on);
    virtual CLabel& FlashBackground(bool on);
    /// A web link: a click opens the link target (or the text) with the shell,
    /// or, with notifyParent, sends the parent WM_NOTIFY kLinkClicked.
    virtual CLabel& SetLink(bool on, bool notifyParent = false);
    virtual CLabel& SetLinkCursor(HCURSOR cursor);
    /// style: EDGE_RAISED (highlight above left) or EDGE_SUNKEN (below right).
    virtual CLabel& Set3DText(bool on, int style = EDGE_RAISED);
    virtual CLabel& SetRotationAngle(int degrees, bool rotate);
    virtual CLabel& SetText3DHiliteColor(COLORREF colour);
    virtual CLabel& SetFont(const LOGFONTW& font);
    /// A mail link: a click opens "mailto:" + the text (or notifies the parent).
    virtual CLabel& SetMailLink(bool on, bool notifyParent = false);
    /// What a web link opens instead of the window text; no redraw.
    virtual CLabel& SetLinkTarget(const std::wstring& target);
    /// The window moved to a monitor of that DPI: the font follows.
    CLabel& SetDpi(UINT dpi);

    bool PreTranslateMessage(MSG* msg) override;

    /// The current flash phase: true while the text is hidden or the colours swapped.
    bool FlashPhase() const { return m_flashPhase; }
    bool Hovered() const { return m_hover; }

protected:
    void PreSubclassWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    /// Hands a link to the shell; verb null is the default verb.
    virtual void OpenLink(const std::wstring& target, const wchar_t* verb);

private:
    void ReconstructFont();
    /// After a change of the font description: re-create it and redraw.
    CLabel& FontChanged();
    void Redraw();
    void RedrawFrame();
    void Paint(HDC target);
    void FillBackground(HDC dc, const RECT& area, COLORREF solid);
    CLabel& SetLinkMode(LinkMode mode, bool notifyParent);
    CLabel& Flash(FlashMode mode, bool on);
    void OnClick();

    COLORREF m_text;
    COLORREF m_background = CLR_INVALID; // CLR_INVALID: the button-face colour
    COLORREF m_gradientSecond = 0;
    int m_backgroundMode = 0;            // 0 solid, otherwise gradient
    COLORREF m_hilite = RGB(255, 255, 255);
    bool m_transparent = false;
    bool m_3dText = false;
    int m_3dStyle = EDGE_RAISED;
    bool m_rotated = false;
    int m_angle = 0;
    LinkMode m_linkMode = kNoLink;
    bool m_notifyParent = false;
    std::wstring m_linkTarget;
    HCURSOR m_linkCursor = nullptr;
    FlashMode m_flashMode = kNoFlash;
    bool m_flashPhase = false;
    bool m_hover = false;
    LOGFONTW m_font = {};
    UINT m_dpi = 96; // the DPI m_font's height is for
    HFONT m_fontHandle = nullptr;
};

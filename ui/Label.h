// A static text control that paints itself: colours, a bold or resized font,
// a sunken edge, and line breaks. Texts may be set from UTF-8.
#pragma once

#include "framework/Controls.h"

#include <string>

class CLabel : public CStatic {
public:
    CLabel();
    ~CLabel() override;

    /// Sets the text from UTF-8.
    CLabel& SetText(const std::string& text);
    CLabel& SetText(const wchar_t* text);
    CLabel& SetText(const std::wstring& text);
    /// Sets the text of string-table entry id.
    CLabel& SetText(UINT id);

    CLabel& SetTextColor(COLORREF colour);
    CLabel& SetBkColor(COLORREF colour);
    COLORREF GetBkColor() const { return m_background; }
    CLabel& SetFontBold(bool bold);
    CLabel& SetFontItalic(bool italic);
    CLabel& SetFontUnderline(bool underline);
    CLabel& SetFontSize(int points);
    CLabel& SetSunken(bool sunken);
    CLabel& SetBorder(bool border);
    CLabel& SetTransparent(bool transparent);

protected:
    void PreSubclassWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void ReconstructFont();
    /// After a change of the font description: re-create it and redraw.
    CLabel& FontChanged();
    void Redraw();
    void RedrawFrame();
    void Paint(HDC target);

    COLORREF m_text;
    COLORREF m_background = CLR_INVALID; // CLR_INVALID: the button-face colour
    bool m_transparent = false;
    LOGFONTW m_font = {};
    HFONT m_fontHandle = nullptr;
};

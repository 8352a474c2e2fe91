#include "ui/Label.h"

#include "store/Text.h"

CLabel& CLabel::SetText(const std::string& text)
{
    SetWindowTextW(WideFromUtf8(text));
    return *this;
}

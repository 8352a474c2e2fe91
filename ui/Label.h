// A static text control whose text the launcher sets from narrow UTF-8 strings.
#pragma once

#include "framework/Controls.h"

#include <string>

class CLabel : public CStatic {
public:
    /// Sets the text from UTF-8.
    CLabel& SetText(const std::string& text);
};

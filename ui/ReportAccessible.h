// What a screen reader meets in the report list: the system's own accessible
// object for the list view, except that each row is named by the texts of the
// columns the owner chose (the first column shows only a picture, and the
// system names a row by its first column's text).
#pragma once

#include <windows.h>

#include <oleacc.h>

#include <string>
#include <vector>

/// The name of a row: its non-empty texts, in order, joined by ", ".
std::wstring RowAccessibleName(const std::vector<std::wstring>& texts);

/// The list view's accessible object with rows named by nameColumns (child
/// id n is row n - 1, as the system numbers a list view's items). Null when
/// the system gives no object for the list. The caller owns one reference.
IAccessible* CreateReportAccessible(HWND list, const std::vector<int>& nameColumns);

// What a shell host does around a context-menu handler: hand it a CF_HDROP
// selection and read back the menu it built.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <shobjidl.h>

#include <string>
#include <vector>

namespace ShellHost {

// A data object offering the paths as CF_HDROP (wide DROPFILES) on an HGLOBAL.
// Returned with one reference.
HRESULT CreateHDropDataObject(const std::vector<std::wstring>& paths, IDataObject** out);

// What the file menu hands an explorer command: the shell's own items for
// paths that exist (SHParseDisplayName, SHCreateShellItemArrayFromIDLists).
HRESULT CreateShellItemArray(const std::vector<std::wstring>& paths, IShellItemArray** out);

// Items that give each path as written for SIGDN_FILESYSPATH, as a CF_HDROP
// carries any name: for paths the shell would not parse. Returned with one
// reference.
HRESULT CreatePathItemArray(const std::vector<std::wstring>& paths, IShellItemArray** out);

struct MenuItem {
    UINT position = 0;
    UINT id = 0;
    bool separator = false;
    bool grayed = false;
    bool hasBitmap = false;
    std::string text;  // ANSI, as the handler inserted it
};

std::vector<MenuItem> DescribeMenu(HMENU menu);

// Wide text to UTF-8, for printing and JSON.
std::string ToUtf8(const std::wstring& text);
std::string AnsiToUtf8(const std::string& text);

}  // namespace ShellHost

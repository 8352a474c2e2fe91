// Keeps COM initialised for the shell services the dialogs use (folder
// opening, ShellExecute of documents) while the main dialog runs.
#pragma once

class CShellManager {
public:
    CShellManager();
    ~CShellManager();
    CShellManager(const CShellManager&) = delete;
    CShellManager& operator=(const CShellManager&) = delete;

private:
    bool m_initialised;
};

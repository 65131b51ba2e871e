// The launcher's own folder as its working directory.
#ifndef VANTORIQUE_HOME_H
#define VANTORIQUE_HOME_H

#include <string>

// The folder of the launcher whose executable is at `executable` (absolute):
// the executable's folder, or the folder that holds its application bundle.
std::string launcherFolderOf(const std::string &executable);

// Makes the launcher's folder the working directory. False (and a line on
// standard error) when it cannot be found or entered.
bool enterLauncherFolder();

#endif

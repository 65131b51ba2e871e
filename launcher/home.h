// The launcher's own folder as its working directory.
#ifndef VANTORIQUE_HOME_H
#define VANTORIQUE_HOME_H

#include <string>

// This program's absolute path; empty when it cannot be learnt.
std::string executablePath();

// The folder of the program at `executable` (absolute), where its files lie
// (font, background): the executable's folder, or the folder that holds its
// application bundle.
std::string releaseFolderOf(const std::string &executable);

// N when the program is a release the launcher took ("FOLDER/app/N/..."), else 0.
int releaseOf(const std::string &executable);

// The launcher's folder, its working directory: the program's folder, or
// for a release in "FOLDER/app/N/", FOLDER.
std::string launcherFolderOf(const std::string &executable);

// Makes the launcher's folder the working directory. False (and a line on
// standard error) when it cannot be found or entered.
bool enterLauncherFolder();

#endif

// Version numbers as text: the local version file and the manifest's number.
#ifndef VANTORIQUE_VERSION_H
#define VANTORIQUE_VERSION_H

#include <stddef.h>

#include <string>

int parseVersionText(const char *text, size_t length);
int readVersionFile(const char *path);
std::string qto_string(double value);
bool writeVersionFile(const char *path, int version);

#endif

// The three workers (update check, package download, unpack), each run on
// its own thread object; they report only through the shared state.
#ifndef VANTORIQUE_WORKERS_H
#define VANTORIQUE_WORKERS_H

#include <SFML/System/Thread.hpp>

#include <string>

extern sf::Thread checkThread;
extern sf::Thread downloadThread;
extern sf::Thread unzipThread;

void ThreadCheckFunc(void *);
void ThreadDownloadFunc(void *);
void ThreadUnzipFunc(void *);
void parseManifest(const std::string &body, int &version, std::string &changeLog);

#endif

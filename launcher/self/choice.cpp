// The choice of release, its file and the first lines of a start.
#include "choice.h"

#include "durable.h"
#include "fsutil.h"
#include "replace.h"
#include "trees.h"
#include "version.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

const char *const kAppFolder = "app";
const char *const kChoiceFile = "app/choice.txt";
const char *const kStartingFile = "app/starting";
const char *const kStagingFolder = "app/.staging";

#ifndef VANTORIQUE_LAUNCHER_VERSION
#define VANTORIQUE_LAUNCHER_VERSION 1
#endif
int launcherVersion = VANTORIQUE_LAUNCHER_VERSION;

namespace {

const size_t kMaxChoiceBytes = 64 * 1024;  // a few lines; a key is 56 characters

bool isNumber(const std::string &text)
{
    return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

// The release folders that are neither current nor previous: older ones and
// refused ones. Only names of digits are ours.
void removeOtherReleases(const LauncherChoice &choice)
{
    DirPtr dir(opendir(kAppFolder));
    if (!dir)
        return;
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir.get()))
        if (isNumber(entry->d_name))
            names.push_back(entry->d_name);
    for (const std::string &name : names) {
        const int release = atoi(name.c_str());
        if (release != choice.current && release != choice.previous)
            remove_tree(std::string(kAppFolder) + "/" + name);
    }
}

}  // namespace

std::string releaseFolder(int release) { return std::string(kAppFolder) + "/" + std::to_string(release); }

bool isRefused(const LauncherChoice &choice, int release)
{
    return std::find(choice.refused.begin(), choice.refused.end(), release) != choice.refused.end();
}

std::string formatChoice(const LauncherChoice &choice)
{
    std::string text = "current " + std::to_string(choice.current) + "\nprevious " + std::to_string(choice.previous) +
                       "\n";
    if (!choice.refused.empty()) {
        text += "refused";
        for (int release : choice.refused)
            text += " " + std::to_string(release);
        text += "\n";
    }
    if (!choice.key.empty())
        text += "key " + choice.key + "\n";
    return text;
}

// Unknown lines are passed over: a later release may add some.
bool parseChoice(const std::string &text, LauncherChoice &choice)
{
    choice = LauncherChoice();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, value;
        words >> name;
        if (name == "current" || name == "previous") {
            if (!(words >> value) || !isNumber(value))
                return false;
            (name == "current" ? choice.current : choice.previous) = atoi(value.c_str());
        } else if (name == "refused") {
            while (words >> value) {
                if (!isNumber(value))
                    return false;
                choice.refused.push_back(atoi(value.c_str()));
            }
        } else if (name == "key") {
            words >> choice.key;
        }
    }
    return true;
}

bool readChoice(LauncherChoice &choice)
{
    choice = LauncherChoice();
    std::string text;
    struct stat st;
    if (lstat(kChoiceFile, &st) != 0 && errno == ENOENT)
        return true;
    LauncherChoice read;
    if (!read_small_file(kChoiceFile, kMaxChoiceBytes, text) || !parseChoice(text, read))
        return false;
    choice = read;
    return true;
}

bool writeChoice(const LauncherChoice &choice)
{
    mkdir(kAppFolder, 0755);
    const std::string text = formatChoice(choice);
    return replace_file(kChoiceFile, text.data(), text.size(), 0644, DURABLE_FILE_AND_FOLDER);
}

bool releaseRunnable(int release, const std::string &program)
{
    struct stat st;
    const std::string path = releaseFolder(release) + "/" + program;
    return release > 0 && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
}

int chooseRelease(const std::string &program, int ownVersion, std::vector<std::string> &notes)
{
    struct stat st;
    if (lstat(kAppFolder, &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;  // no release was ever taken
    // A swap killed before its choice was written left its staging; one
    // under way in another launcher holds the folder's lock.
    Fd lock(open(kAppFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock.fd >= 0 && flock(lock.fd, LOCK_EX | LOCK_NB) == 0)
        remove_tree(kStagingFolder);
    remove_beside_leftovers(kChoiceFile);
    remove_beside_leftovers(kStartingFile);
    LauncherChoice choice;
    if (!readChoice(choice))
        notes.push_back(std::string(kChoiceFile) + " cannot be read: starting the launcher in the launcher's folder");
    if (lstat(kStartingFile, &st) == 0) {
        const int started = readVersionFile(kStartingFile);
        if (started > 0 && started == choice.current) {
            choice.refused.push_back(started);
            const int back = isRefused(choice, choice.previous) || !releaseRunnable(choice.previous, program)
                                 ? 0 : choice.previous;
            choice.current = back;
            choice.previous = 0;
            const bool written = writeChoice(choice);
            notes.push_back("Launcher " + std::to_string(started) +
                            " did not reach its first frame at its last start: back to " +
                            (back ? "launcher " + std::to_string(back) : std::string("the launcher in this folder")) +
                            "; " + std::to_string(started) + " is not taken again" +
                            (written ? "" : " (the choice could not be written)"));
        }
        unlink(kStartingFile);
    }
    removeOtherReleases(choice);
    if (choice.current <= ownVersion || isRefused(choice, choice.current))
        return 0;
    if (!releaseRunnable(choice.current, program)) {
        notes.push_back("Launcher " + std::to_string(choice.current) + " is not in " +
                        releaseFolder(choice.current) + ": starting the launcher in this folder");
        return 0;
    }
    // Written before anything of the release runs, cleared after its first frame.
    const std::string marker = std::to_string(choice.current);
    if (!replace_file(kStartingFile, marker.data(), marker.size(), 0644, DURABLE_FILE_AND_FOLDER)) {
        notes.push_back("Cannot count the start of launcher " + marker + ": starting the launcher in this folder");
        return 0;
    }
    return choice.current;
}

void firstFrameShown(int running)
{
    struct stat st;
    if (running > 0 && lstat(kStartingFile, &st) == 0 && readVersionFile(kStartingFile) == running)
        unlink(kStartingFile);
}

// Sends the MCI commands named on the command line and prints each one's
// error and the device it opened (and its length) or the value it read,
// then the descriptors still open beyond the standard three.
//   mci_probe open TYPE FILE | play N | play-wait N | close N | length N | position N | stop N | wait MS ...
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "winapi.h"

int main(int, char** argv) {
    // The message, its flags and the status item asked for.
    const std::map<std::string, std::tuple<UINT, DWORD_PTR, DWORD>> commands = {
        {"play", {MCI_PLAY, MCI_NOTIFY, 0}},
        {"play-wait", {MCI_PLAY, MCI_WAIT, 0}},
        {"close", {MCI_CLOSE, 0, 0}},
        {"length", {MCI_STATUS, MCI_STATUS_ITEM, MCI_STATUS_LENGTH}},
        {"position", {MCI_STATUS, MCI_STATUS_ITEM, MCI_STATUS_POSITION}},
        {"stop", {MCI_STOP, 0, 0}}};
    for (char** step = argv + 1; *step != nullptr; step += 2) {
        const std::string word = step[0];
        if (word == "wait") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(step[1])));
            continue;
        }
        if (word == "open") {
            MCI_OPEN_PARMSA open{0, 0, step[1], step[2], nullptr};
            const MCIERROR error =
                mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&open));
            MCI_STATUS_PARMS length{0, 0, MCI_STATUS_LENGTH, 0};
            mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&length));
            std::printf("%lu %u %lu\n", static_cast<unsigned long>(error), open.wDeviceID,
                        static_cast<unsigned long>(length.dwReturn));
            ++step;
            continue;
        }
        const auto& [message, flags, item] = commands.at(word);
        MCI_STATUS_PARMS parms{0, 0, item, 0};
        const MCIERROR error = mciSendCommandA(static_cast<MCIDEVICEID>(std::atoi(step[1])), message, flags,
                                               reinterpret_cast<DWORD_PTR>(&parms));
        std::printf("%lu %lu\n", static_cast<unsigned long>(error), static_cast<unsigned long>(parms.dwReturn));
    }
    // Less the standard three, the folder's own, "." and "..".
    int open_descriptors = -6;
    DIR* fds = opendir("/proc/self/fd");
    while (fds != nullptr && readdir(fds) != nullptr)
        ++open_descriptors;
    if (fds != nullptr) closedir(fds);
    std::printf("descriptors %d\n", open_descriptors);
    return 0;
}

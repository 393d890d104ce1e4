// Opens each file named on the command line on the MCI device of the type
// before it, plays them all, waits, closes them and prints what each step
// answered:  mci_probe WAIT_MS TYPE FILE [TYPE FILE...]
//   open <error> <device> <length ms>    one line per file
//   closed <ms the closes took>
// Or runs the commands named one by one, each answered with its error and
// the device it opened or the value it read:  mci_probe - STEP...
//   open TYPE FILE | play N | play-wait N | close N | length N | position N | stop N | wait MS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "winapi.h"

namespace {

int script(char** step) {
    // The message, its flags and the status item asked for.
    const std::map<std::string, std::tuple<UINT, DWORD_PTR, DWORD>> commands = {
        {"play", {MCI_PLAY, MCI_NOTIFY, 0}},
        {"play-wait", {MCI_PLAY, MCI_WAIT, 0}},
        {"close", {MCI_CLOSE, 0, 0}},
        {"length", {MCI_STATUS, MCI_STATUS_ITEM, MCI_STATUS_LENGTH}},
        {"position", {MCI_STATUS, MCI_STATUS_ITEM, MCI_STATUS_POSITION}},
        {"stop", {MCI_STOP, 0, 0}}};
    for (; *step != nullptr; step += 2) {
        const std::string word = step[0];
        if (word == "wait") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(step[1])));
        } else if (word == "open") {
            MCI_OPEN_PARMSA open{0, 0, step[1], step[2], nullptr};
            const MCIERROR error =
                mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&open));
            std::printf("%lu %u\n", static_cast<unsigned long>(error), open.wDeviceID);
            ++step;
        } else {
            const auto& [message, flags, item] = commands.at(word);
            MCI_STATUS_PARMS parms{0, 0, item, 0};
            const MCIERROR error = mciSendCommandA(static_cast<MCIDEVICEID>(std::atoi(step[1])), message, flags,
                                                   reinterpret_cast<DWORD_PTR>(&parms));
            std::printf("%lu %lu\n", static_cast<unsigned long>(error), static_cast<unsigned long>(parms.dwReturn));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "-") return script(argv + 2);
    if (argc < 4 || argc % 2 != 0) return 2;
    std::vector<MCIDEVICEID> devices;
    for (int i = 2; i + 1 < argc; i += 2) {
        MCI_OPEN_PARMSA open{};
        open.lpstrDeviceType = argv[i];
        open.lpstrElementName = argv[i + 1];
        const MCIERROR error =
            mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&open));
        MCI_STATUS_PARMS status{};
        status.dwItem = MCI_STATUS_LENGTH;
        mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&status));
        std::printf("open %lu %u %lu\n", static_cast<unsigned long>(error), open.wDeviceID,
                    static_cast<unsigned long>(status.dwReturn));
        if (error == 0) devices.push_back(open.wDeviceID);
    }
    MCI_PLAY_PARMS play{};
    for (MCIDEVICEID device : devices)
        mciSendCommandA(device, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&play));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[1])));
    const auto start = std::chrono::steady_clock::now();
    for (MCIDEVICEID device : devices)
        mciSendCommandA(device, MCI_CLOSE, 0, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("closed %lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    return 0;
}

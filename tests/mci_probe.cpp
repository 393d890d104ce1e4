// Opens each file named on the command line on the MCI device of the type
// before it, plays them all, waits, closes them and prints what each step
// answered:  mci_probe WAIT_MS TYPE FILE [TYPE FILE...]
//   open <error> <device> <length ms>    one line per file
//   closed <ms the closes took>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "winapi.h"

int main(int argc, char** argv) {
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

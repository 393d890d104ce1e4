// Times the MCI open of a sound file and the wait for its exact length (the
// walk over every frame, which runs beside the open): prints one line per
// open, the two times in milliseconds from the start of the open and the
// length.
//   mci_open_time FILE [COUNT]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "decoder.h"
#include "winapi.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: mci_open_time FILE [COUNT]\n");
        return 2;
    }
    const int count = argc == 3 ? std::atoi(argv[2]) : 5;
    for (int i = 0; i < count; ++i) {
        MCI_OPEN_PARMSA parms{};
        parms.lpstrElementName = argv[1];
        const auto start = std::chrono::steady_clock::now();
        MCIERROR error = MCIERR_INVALID_DEVICE_NAME;
        // On the first kind of device that takes the file.
        for (const mci::DeviceKind& kind : mci::kDeviceKinds) {
            parms.lpstrDeviceType = kind.type;
            error = mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&parms));
            if (error == 0) break;
        }
        const auto opened = std::chrono::steady_clock::now();
        if (error != 0) {
            std::fprintf(stderr, "mci_open_time: %s does not open (MCI error %lu)\n", argv[1],
                         static_cast<unsigned long>(error));
            return 1;
        }
        // The length, so that a reader of the figures can see the whole file
        // was taken in.
        MCI_STATUS_PARMS status{};
        status.dwItem = MCI_STATUS_LENGTH;
        mciSendCommandA(parms.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&status));
        const auto known = std::chrono::steady_clock::now();
        mciSendCommandA(parms.wDeviceID, MCI_CLOSE, 0, 0);
        std::printf("%.3f %.3f %lu\n", std::chrono::duration<double, std::milli>(opened - start).count(),
                    std::chrono::duration<double, std::milli>(known - start).count(),
                    static_cast<unsigned long>(status.dwReturn));
    }
    return 0;
}

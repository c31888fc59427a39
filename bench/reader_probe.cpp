// The sentence reader alone, for measurement (bench/reader_measure.sh): opens
// the GPS port as the program does, lets the reader run for a given time and
// prints the last position fix. Its only threads are the main thread, which
// sleeps, and the reader, so every figure of the reader thread in /proc is
// the reader's own.
//
//   reader_probe PORT BAUD SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "gps/nmea.hpp"
#include "gps/reader.hpp"
#include "status/statuslog.hpp"
#include "status/window.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: reader_probe PORT BAUD SECONDS\n", stderr);
        return 2;
    }
    std::string port = argv[1];
    std::wstring portName(port.begin(), port.end());
    auto baudRate = static_cast<std::int32_t>(std::atol(argv[2]));
    long seconds = std::atol(argv[3]);

    runState.store(1);
    toggleRunState();  // as after "Start"
    if (!startGpsInput(portName.c_str(), baudRate)) {
        std::array<wchar_t, controlTextCapacity> log{};
        getWindowText(statusLogControl, log);
        std::fprintf(stderr, "reader_probe: %ls\n", log.data());
        return 1;
    }
    std::printf("reader started\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));

    double latitude = 0, longitude = 0, speed = 0;
    int valid = 0;
    takePositionFix(&latitude, &longitude, &speed, &valid);
    std::printf("last fix: latitude %.6f longitude %.6f speed %.1f valid %d\n", latitude, longitude, speed,
                valid);
    stopGpsInput();
    return 0;
}

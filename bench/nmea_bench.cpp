// Framing and decoding speed on a realistic receiver stream.
//
// The stream is what a GPS receiver sends at 1 Hz: GGA, GSA, three GSV, RMC
// and VTG every second, GLL every other second and ZDA every fifth, with
// checksums and CR LF, read in chunks of 512 bytes as the reader thread does.
// Compare:
//   ScanFloor           one plain pass over the bytes, byte by byte, noting
//                       each "$" and "*": the floor a framer is held to;
//   Framing             the framer alone (target: within 2x of the floor);
//   FramingAndDispatch  framing and decoding into the GPS state
//                       (target: at most 150 ns per sentence);
//   TakePositionFix     one position fix.
// per_sentence is the time per sentence; bytes_per_second the throughput.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <span>
#include <string>

#include "gps/framing.hpp"
#include "gps/nmea.hpp"

namespace {

void appendSentence(std::string& stream, const char* body) {
    unsigned checksum = 0;
    for (const char* c = body; *c != '\0'; ++c) checksum ^= static_cast<unsigned char>(*c);
    char line[128];
    std::snprintf(line, sizeof line, "$%s*%02X\r\n", body, checksum);
    stream += line;
}

struct Stream {
    std::string bytes;
    std::int64_t sentences = 0;
};

Stream receiverStream(int seconds) {
    Stream stream;
    char body[120];
    for (int t = 0; t < seconds; ++t) {
        const int hh = 10 + t / 3600, mm = t / 60 % 60, ss = t % 60;
        const double latitudeMinutes = 7.038 + t * 0.00013, longitudeMinutes = 31.0 + t * 0.00021;
        const double speed = 12.0 + (t % 17) * 0.3, course = 84.4 + (t % 11) * 0.5;
        std::snprintf(body, sizeof body,
                      "GPGGA,%02d%02d%02d.00,48%07.4f,N,011%07.4f,E,1,08,0.9,%.1f,M,46.9,M,,", hh, mm, ss,
                      latitudeMinutes, longitudeMinutes, 545.4 + (t % 9) * 0.1);
        appendSentence(stream.bytes, body);
        appendSentence(stream.bytes, "GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
        std::snprintf(body, sizeof body, "GPGSV,3,1,11,03,03,111,%02d,04,15,270,00,06,01,010,00,13,06,292,00",
                      t % 50);
        appendSentence(stream.bytes, body);
        std::snprintf(body, sizeof body, "GPGSV,3,2,11,14,25,170,00,16,57,208,%02d,18,67,296,40,19,40,246,00",
                      t % 45);
        appendSentence(stream.bytes, body);
        appendSentence(stream.bytes, "GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00");
        std::snprintf(body, sizeof body,
                      "GPRMC,%02d%02d%02d.00,A,48%07.4f,N,011%07.4f,E,%05.1f,%05.1f,230394,003.1,W", hh, mm,
                      ss, latitudeMinutes, longitudeMinutes, speed, course);
        appendSentence(stream.bytes, body);
        std::snprintf(body, sizeof body, "GPVTG,%05.1f,T,%05.1f,M,%05.1f,N,%05.1f,K", course, course - 20.3,
                      speed, speed * 1.852);
        appendSentence(stream.bytes, body);
        stream.sentences += 7;
        if (t % 2 == 0) {
            std::snprintf(body, sizeof body, "GPGLL,48%07.4f,N,011%07.4f,E,%02d%02d%02d.00,A",
                          latitudeMinutes, longitudeMinutes, hh, mm, ss);
            appendSentence(stream.bytes, body);
            ++stream.sentences;
        }
        if (t % 5 == 0) {
            std::snprintf(body, sizeof body, "GPZDA,%02d%02d%02d.00,23,03,1994,00,00", hh, mm, ss);
            appendSentence(stream.bytes, body);
            ++stream.sentences;
        }
    }
    return stream;
}

const Stream& benchStream() {
    static const Stream stream = receiverStream(600);
    return stream;
}

void setCounters(benchmark::State& state, const Stream& stream) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.bytes.size()));
    state.counters["per_sentence"] =
        benchmark::Counter(static_cast<double>(stream.sentences),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["sentences"] = static_cast<double>(stream.sentences);
}

// Runs the stream through the framer in 512-byte chunks.
void frameStream(SentenceFramer& framer, std::string_view bytes, SentenceSink sink, void* context) {
    for (std::size_t at = 0; at < bytes.size(); at += chunkCapacity) {
        frameChunk(framer, bytes.substr(at, chunkCapacity), sink, context);
    }
}

void BM_ScanFloor(benchmark::State& state) {
    const Stream& stream = benchStream();
    for (auto _ : state) {
        std::size_t markers = 0;
        for (std::size_t at = 0; at < stream.bytes.size(); at += chunkCapacity) {
            const std::string_view chunk = std::string_view(stream.bytes).substr(at, chunkCapacity);
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                if (chunk[i] == '$' || chunk[i] == '*') markers += i;
            }
        }
        benchmark::DoNotOptimize(markers);
    }
    setCounters(state, stream);
}
BENCHMARK(BM_ScanFloor);

void countSentence(std::string_view sentence, void* context) {
    *static_cast<std::size_t*>(context) += sentence.size();
}

void BM_Framing(benchmark::State& state) {
    const Stream& stream = benchStream();
    SentenceFramer framer;
    resetFramer(framer);
    for (auto _ : state) {
        std::size_t sentenceLengths = 0;
        frameStream(framer, stream.bytes, countSentence, &sentenceLengths);
        benchmark::DoNotOptimize(sentenceLengths);
    }
    setCounters(state, stream);
}
BENCHMARK(BM_Framing);

void dispatch(std::string_view sentence, void*) {
    dispatchSentence(sentence);
}

void BM_FramingAndDispatch(benchmark::State& state) {
    const Stream& stream = benchStream();
    SentenceFramer framer;
    resetFramer(framer);
    for (auto _ : state) {
        frameStream(framer, stream.bytes, dispatch, nullptr);
        benchmark::ClobberMemory();
    }
    setCounters(state, stream);
}
BENCHMARK(BM_FramingAndDispatch);

void BM_TakePositionFix(benchmark::State& state) {
    dispatchSentence("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*");
    dispatchSentence("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*");
    for (auto _ : state) {
        double latitude, longitude, speed;
        int valid;
        takePositionFix(&latitude, &longitude, &speed, &valid);
        benchmark::DoNotOptimize(latitude);
        benchmark::DoNotOptimize(longitude);
        benchmark::DoNotOptimize(speed);
        benchmark::DoNotOptimize(valid);
    }
}
BENCHMARK(BM_TakePositionFix);

}  // namespace

BENCHMARK_MAIN();

// wayloom-nmea: decodes an NMEA 0183 byte stream exactly as Wayloom reads its
// GPS receiver, and prints one JSON object per line for every sentence.
//
// The stream is read in chunks of 512 bytes (or --chunk N), framed and
// dispatched by the same framer and decoders as the reader thread; after each
// sentence the updated record of its type and the position fix are printed.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "gps/framing.hpp"
#include "gps/nmea.hpp"
#include "tools/json.hpp"

namespace {

constexpr std::string_view usage =
    "Usage: wayloom-nmea [--chunk N] [--talkers any|GP] [FILE]\n"
    "\n"
    "Decodes an NMEA 0183 byte stream the way Wayloom reads its GPS receiver, to\n"
    "check what a receiver sends and how Wayloom reads it.\n"
    "\n"
    "Reads FILE, or standard input when FILE is absent or \"-\", in chunks of N\n"
    "bytes (1 to 512, default 512; a serial port may return fewer per read),\n"
    "frames each sentence from its \"$\" through its \"*\" (the checksum is not\n"
    "checked), decodes it into the GPS state and prints one JSON object per line:\n"
    "\n"
    "  {\"sentence\": S, \"type\": T, \"record\": R,\n"
    "   \"fix\": {\"latitude\": D, \"longitude\": D, \"speed\": D, \"valid\": 0|1}}\n"
    "\n"
    "S is the sentence as framed, T one of GGA GLL GSA GSV RMC VTG ZDA other, R\n"
    "the record of that type after the sentence ({\"text\": ...} for other), and\n"
    "fix the position Wayloom would report: GGA latitude and longitude in degrees\n"
    "(hemisphere not applied), RMC speed in knots, valid when the RMC status is A.\n"
    "Text bytes are written as the characters of the same code; a character field\n"
    "holding 0 is null.\n"
    "\n"
    "With --talkers any the seven sentence types are decoded from every talker\n"
    "($GNGGA, $GLRMC ...), as Wayloom does with \"talkers = any\" in settings.ini;\n"
    "by default only from GP. When the stream's position sentences (GGA, RMC,\n"
    "GLL) all come from another talker, standard error says so.\n"
    "\n"
    "Options:\n"
    "  --chunk N        read N bytes at a time (1 to 512)\n"
    "  --talkers WHICH  any, or GP (the default)\n"
    "  --help           show this text\n";

void printGga(JsonLine& line, const GgaRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonIntegerMember(line, "hour", r.hour);
    jsonIntegerMember(line, "minute", r.minute);
    jsonIntegerMember(line, "second", r.second);
    jsonNumberMember(line, "latitude", r.latitude);
    jsonCharacterMember(line, "latitudeHemisphere", r.latitudeHemisphere);
    jsonNumberMember(line, "longitude", r.longitude);
    jsonCharacterMember(line, "longitudeHemisphere", r.longitudeHemisphere);
    jsonCharacterMember(line, "fixQuality", r.fixQuality);
    jsonIntegerMember(line, "satellitesUsed", r.satellitesUsed);
    jsonNumberMember(line, "hdop", r.hdop);
    jsonIntegerMember(line, "altitude", r.altitude);
    jsonCharacterMember(line, "altitudeUnit", r.altitudeUnit);
    jsonNumberMember(line, "geoidSeparation", r.geoidSeparation);
    jsonCharacterMember(line, "geoidSeparationUnit", r.geoidSeparationUnit);
    jsonNumberMember(line, "dgpsAge", r.dgpsAge);
    jsonIntegerMember(line, "dgpsStationId", r.dgpsStationId);
}

void printGll(JsonLine& line, const GllRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonNumberMember(line, "latitude", r.latitude);
    jsonCharacterMember(line, "latitudeHemisphere", r.latitudeHemisphere);
    jsonNumberMember(line, "longitude", r.longitude);
    jsonCharacterMember(line, "longitudeHemisphere", r.longitudeHemisphere);
    jsonIntegerMember(line, "hour", r.hour);
    jsonIntegerMember(line, "minute", r.minute);
    jsonIntegerMember(line, "second", r.second);
    jsonCharacterMember(line, "status", r.status);
}

void printGsa(JsonLine& line, const GsaRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonCharacterMember(line, "mode", r.mode);
    jsonCharacterMember(line, "fixType", r.fixType);
    jsonKey(line, "satellites");
    jsonRaw(line, "[");
    for (std::uint8_t prn : r.satellites) {
        jsonSeparator(line);
        jsonInteger(line, prn);
    }
    jsonRaw(line, "]");
    jsonNumberMember(line, "pdop", r.pdop);
    jsonNumberMember(line, "hdop", r.hdop);
    jsonNumberMember(line, "vdop", r.vdop);
}

void printGsv(JsonLine& line, const GsvRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonCharacterMember(line, "messageNumber", r.messageNumber);
    jsonCharacterMember(line, "messageCount", r.messageCount);
    jsonIntegerMember(line, "satellitesInView", r.satellitesInView);
    jsonKey(line, "satellites");
    jsonRaw(line, "[");
    for (const GsvSatellite& satellite : r.satellites) {
        jsonSeparator(line);
        jsonRaw(line, "{");
        jsonIntegerMember(line, "prn", satellite.prn);
        jsonIntegerMember(line, "elevation", satellite.elevation);
        jsonIntegerMember(line, "azimuth", satellite.azimuth);
        jsonIntegerMember(line, "snr", satellite.snr);
        jsonRaw(line, "}");
    }
    jsonRaw(line, "]");
}

void printRmc(JsonLine& line, const RmcRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonIntegerMember(line, "hour", r.hour);
    jsonIntegerMember(line, "minute", r.minute);
    jsonIntegerMember(line, "second", r.second);
    jsonCharacterMember(line, "status", r.status);
    jsonNumberMember(line, "latitude", r.latitude);
    jsonCharacterMember(line, "latitudeHemisphere", r.latitudeHemisphere);
    jsonNumberMember(line, "longitude", r.longitude);
    jsonCharacterMember(line, "longitudeHemisphere", r.longitudeHemisphere);
    jsonNumberMember(line, "speed", r.speed);
    jsonNumberMember(line, "course", r.course);
    jsonIntegerMember(line, "day", r.day);
    jsonIntegerMember(line, "month", r.month);
    jsonIntegerMember(line, "year", r.year);
    jsonNumberMember(line, "magneticVariation", r.magneticVariation);
    jsonCharacterMember(line, "magneticVariationDirection", r.magneticVariationDirection);
}

void printVtg(JsonLine& line, const VtgRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonKey(line, "values");
    jsonRaw(line, "[");
    for (float value : r.values) {
        jsonSeparator(line);
        jsonNumber(line, value);
    }
    jsonRaw(line, "]");
}

void printZda(JsonLine& line, const ZdaRecord& r) {
    jsonStringMember(line, "id", {r.id.data(), r.id.size()});
    jsonIntegerMember(line, "hour", r.hour);
    jsonIntegerMember(line, "minute", r.minute);
    jsonIntegerMember(line, "second", r.second);
    jsonIntegerMember(line, "day", r.day);
    jsonIntegerMember(line, "month", r.month);
    jsonIntegerMember(line, "year", r.year);
    jsonIntegerMember(line, "zoneHours", r.zoneHours);
    jsonIntegerMember(line, "zoneMinutes", r.zoneMinutes);
}

void printOther(JsonLine& line, const OtherSentence& r) {
    jsonStringMember(line, "text", {r.text.data(), std::strlen(r.text.data())});
}

constexpr std::array<std::string_view, 8> typeNames = {"GGA", "GLL", "GSA", "GSV",
                                                       "RMC", "VTG", "ZDA", "other"};

// The record of a type, as printed; one row per SentenceType.
void printRecord(JsonLine& line, SentenceType type) {
    switch (type) {
        case SentenceType::gga:
            printGga(line, gpsState.gga);
            break;
        case SentenceType::gll:
            printGll(line, gpsState.gll);
            break;
        case SentenceType::gsa:
            printGsa(line, gpsState.gsa);
            break;
        case SentenceType::gsv:
            printGsv(line, gpsState.gsv);
            break;
        case SentenceType::rmc:
            printRmc(line, gpsState.rmc);
            break;
        case SentenceType::vtg:
            printVtg(line, gpsState.vtg);
            break;
        case SentenceType::zda:
            printZda(line, gpsState.zda);
            break;
        case SentenceType::other:
            printOther(line, gpsState.other);
            break;
    }
}

// Position sentences seen, by talker: GP, and the others (the first named).
struct TalkerCount {
    long gp;
    long others;
    std::array<char, 3> otherTalker;
};

TalkerCount talkerCount;

void countTalker(std::string_view sentence) {
    if (sentence.size() < identifierLength || sentence[0] != '$' || !isTalker(sentence[1], sentence[2]))
        return;
    const std::string_view type = sentence.substr(3, 3);
    if (type != "GGA" && type != "RMC" && type != "GLL") return;
    if (sentence.substr(1, 2) == "GP") {
        ++talkerCount.gp;
    } else if (talkerCount.others++ == 0) {
        talkerCount.otherTalker = {sentence[1], sentence[2], '\0'};
    }
}

// The hint for a receiver whose fix Wayloom would never see.
void hintAtTalkers() {
    if (decodingOptions.anyTalker || talkerCount.gp > 0 || talkerCount.others == 0) return;
    std::fprintf(
        stderr,
        "wayloom-nmea: the position sentences come from talker %s, not GP: Wayloom shows \"Can't find\n"
        "satellites!\" with this receiver unless settings.ini has the option line \"talkers = any\"\n"
        "(and this tool decodes them with --talkers any).\n",
        talkerCount.otherTalker.data());
}

// The sink of the framer: dispatch as the reader thread does, then print.
void decodeAndPrint(std::string_view sentence, void* context) {
    JsonLine& line = *static_cast<JsonLine*>(context);
    countTalker(sentence);
    const SentenceType type = sentenceType(sentence);
    dispatchSentence(sentence);

    double latitude = 0, longitude = 0, speed = 0;
    int valid = 0;
    takePositionFix(&latitude, &longitude, &speed, &valid);

    jsonClear(line);
    jsonRaw(line, "{");
    jsonStringMember(line, "sentence", sentence);
    jsonStringMember(line, "type", typeNames[static_cast<std::size_t>(type)]);
    jsonKey(line, "record");
    jsonRaw(line, "{");
    printRecord(line, type);
    jsonRaw(line, "}");
    jsonKey(line, "fix");
    jsonRaw(line, "{");
    jsonNumberMember(line, "latitude", latitude);
    jsonNumberMember(line, "longitude", longitude);
    jsonNumberMember(line, "speed", speed);
    jsonIntegerMember(line, "valid", valid);
    jsonRaw(line, "}}\n");
    if (line.overflowed) {
        std::fputs("wayloom-nmea: output line too long, left out\n", stderr);
        return;
    }
    std::fwrite(line.text.data(), 1, line.length, stdout);
}

// Reads the chunk size: decimal digits only, 1 to 512; 0 when invalid.
std::size_t parseChunkSize(std::string_view text) {
    if (text.empty() || text.size() > 3) return 0;
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value >= 1 && value <= chunkCapacity ? value : 0;
}

int fail(const char* message) {
    std::fprintf(stderr, "wayloom-nmea: %s\nTry 'wayloom-nmea --help'.\n", message);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t chunkSize = chunkCapacity;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fwrite(usage.data(), 1, usage.size(), stdout);
            return 0;
        }
        if (argument == "--chunk" || argument.starts_with("--chunk=")) {
            std::string_view value;
            if (argument == "--chunk") {
                if (++i == argc) return fail("--chunk needs a number from 1 to 512");
                value = argv[i];
            } else {
                value = argument.substr(std::strlen("--chunk="));
            }
            chunkSize = parseChunkSize(value);
            if (chunkSize == 0) return fail("--chunk needs a number from 1 to 512");
        } else if (argument == "--talkers") {
            const std::string_view value = ++i < argc ? argv[i] : "";
            if (value != "any" && value != "GP") return fail("--talkers needs any or GP");
            decodingOptions.anyTalker = value == "any";
        } else if (argument.size() > 1 && argument[0] == '-') {
            return fail("unknown option");
        } else if (path != nullptr) {
            return fail("only one input file may be given");
        } else {
            path = argv[i];
        }
    }

    std::FILE* input = stdin;
    if (path != nullptr && std::string_view(path) != "-") {
        input = std::fopen(path, "rb");
        if (input == nullptr) {
            std::fprintf(stderr, "wayloom-nmea: cannot open %s: %s\n", path, std::strerror(errno));
            return 1;
        }
    }

    static SentenceFramer framer;
    static JsonLine line;
    resetFramer(framer);
    std::array<char, chunkCapacity> chunk{};
    for (;;) {
        const std::size_t count = std::fread(chunk.data(), 1, chunkSize, input);
        if (count == 0) break;
        frameChunk(framer, std::span<const char>(chunk.data(), count), decodeAndPrint, &line);
    }
    const bool readFailed = std::ferror(input) != 0;
    hintAtTalkers();
    if (input != stdin) std::fclose(input);
    if (readFailed) {
        std::fputs("wayloom-nmea: read error\n", stderr);
        return 1;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fputs("wayloom-nmea: write error\n", stderr);
        return 1;
    }
    return 0;
}

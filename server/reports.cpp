// The report endpoint: the form of a report, and the committer that stores
// reports in groups.
//
// Divisions: the form; the feed of commits; the committer.
#include "server/reports.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "server/http.hpp"
#include "server/metrics.hpp"
#include "server/webtime.hpp"

// ---- The form ------------------------------------------------------------------

bool readReportNumber(std::string_view text, double& value) {
    std::size_t at = 0;
    const auto digitsFrom = [&](std::size_t start) {
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at - start;
    };
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    std::size_t digits = digitsFrom(at);
    if (at < text.size() && text[at] == '.') {
        ++at;
        digits += digitsFrom(at);
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
        if (digitsFrom(at) == 0) return false;
    }
    if (at != text.size()) return false;
    // from_chars takes no "+", and no locale can change its decimal point.
    const std::string_view number = text.front() == '+' ? text.substr(1) : text;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) return false;  // beyond a double
    return result.ec == std::errc{} && std::isfinite(value);
}

bool readReportTime(std::string_view text, std::int64_t& unixMicros) {
    constexpr std::string_view shape = "0000-00-00T00:00:00Z";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) return false;
    }
    return parseIsoTime(text, unixMicros);  // the calendar: days of the month, hours, minutes
}

bool extrasInRange(const PositionExtras& extras) {
    const auto within = [](const std::optional<double>& value, double low, double high) {
        return !value.has_value() || (*value >= low && *value <= high);
    };
    return within(extras.courseDegrees, 0, courseMaxDegrees) &&
           within(extras.altitudeMetres, altitudeMinMetres, altitudeMaxMetres) &&
           within(extras.accuracyMetres, 0, accuracyMaxMetres) && within(extras.batteryPercent, 0, 100) &&
           within(extras.hdop, 0, hdopMax) &&
           (!extras.satellites.has_value() ||
            (*extras.satellites >= 0 && *extras.satellites <= satellitesMax));
}

namespace {

// The optional c, a, h and n of a report (nullptr where absent) into extras;
// false when one is not a number or n is not a whole one.
bool readReportExtras(std::span<const std::string* const, 4> values, PositionExtras& extras) {
    std::array<std::optional<double>*, 3> reals{&extras.courseDegrees, &extras.altitudeMetres, &extras.hdop};
    for (std::size_t i = 0; i < reals.size(); ++i) {
        if (values[i] == nullptr) continue;
        double value = 0;
        if (!readReportNumber(*values[i], value)) return false;
        *reals[i] = value;
    }
    if (values[3] != nullptr) {
        const std::string& text = *values[3];
        int count = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), count);
        if (text.empty() || text.front() == '-' || result.ec != std::errc{} ||
            result.ptr != text.data() + text.size())
            return false;
        extras.satellites = count;
    }
    return true;
}

}  // namespace

char readReportForm(std::string_view body, ReportForm& form, std::int64_t arrivalUs) {
    if (body.size() > reportBodyMaxBytes) return answer::notAReport;
    // The six fields in the order Wayloom sends them, then the optional
    // extras and t; others are let through.
    constexpr std::size_t required = 6;
    constexpr std::array<std::string_view, required + 5> names{"v", "l", "p", "lat", "lon", "s",
                                                               "c", "a", "h", "n",   "t"};
    std::array<const std::string*, required + 5> values{};
    const std::vector<FormField> fields = splitForm(body);
    for (const FormField& field : fields) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (field.name != names[i]) continue;
            if (values[i] != nullptr) return answer::notAReport;  // repeated
            values[i] = &field.value;
        }
    }
    if (values[1] != nullptr) form.login = *values[1];  // for the log
    // Another version may carry other fields: its clients are told to update.
    if (values[0] != nullptr && *values[0] != reportVersion) return answer::wrongVersion;
    for (std::size_t i = 0; i < required; ++i) {
        if (values[i] == nullptr) return answer::notAReport;
    }
    form.password = *values[2];
    if (!readReportNumber(*values[3], form.lat) || !readReportNumber(*values[4], form.lon) ||
        !readReportNumber(*values[5], form.speedKnots))
        return answer::notAReport;
    if (std::fabs(form.lat) > 90 || std::fabs(form.lon) > 180) return answer::notAReport;
    if (form.speedKnots < 0 || form.speedKnots > reportSpeedMaxKnots) return answer::notAReport;
    if (!readReportExtras(std::span(values).subspan<required, 4>(), form.extras) ||
        !extrasInRange(form.extras))
        return answer::notAReport;
    const std::string* const timeValue = values.back();  // t, after the extras
    form.timeSent = timeValue != nullptr;
    form.timeUs = arrivalUs;
    form.receivedUs = arrivalUs;
    if (!form.timeSent) return answer::stored;
    if (!readReportTime(*timeValue, form.timeUs)) return answer::notAReport;
    form.aheadUs = std::max<std::int64_t>(form.timeUs - arrivalUs, 0);
    if (form.aheadUs > reportTimeAheadMaxUs || form.timeUs < reportTimeEarliestUs) return answer::notAReport;
    return answer::stored;
}

// ---- The feed of commits ----------------------------------------------------------

std::uint64_t PositionFeed::waitForCommit(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    committed.wait_for(lock, timeout, [&] { return commits > seen; });
    return commits;
}

// ---- The committer -------------------------------------------------------------------

namespace {

constexpr auto reopenPause = std::chrono::milliseconds(500);

// Takes every report waiting (positions up to commitGroupMaxReports, a
// batch never split); false once stopping with nothing left.
bool takeGroup(Committer& committer, std::vector<PendingReport>& group) {
    group.clear();
    std::unique_lock lock(committer.mutex);
    committer.arrived.wait(lock, [&] { return committer.stopping || !committer.queue.empty(); });
    if (committer.queue.empty()) return false;
    std::size_t positions = 0;
    while (!committer.queue.empty() &&
           (group.empty() || positions + committer.queue.front().positions.size() <= commitGroupMaxReports)) {
        positions += committer.queue.front().positions.size();
        group.push_back(std::move(committer.queue.front()));
        committer.queue.pop_front();
    }
    return true;
}

// One transaction for the group; every report is answered "1" after the
// commit, or "0" when the database refused it.
void commitGroup(Committer& committer, std::unique_ptr<Storage>& storage,
                 const std::vector<PendingReport>& group, std::vector<Position>& positions) {
    positions.clear();
    for (const PendingReport& report : group)
        positions.insert(positions.end(), report.positions.begin(), report.positions.end());
    bool committed = false;
    if (storage == nullptr) {
        std::string error;
        storage = openStorage(committer.database, error);
        if (storage == nullptr) {
            std::fprintf(stderr, "wayloom-server: the database is gone: %s\n", error.c_str());
            countDatabaseError();
        }
    }
    if (storage != nullptr) {
        committed = storage->insertPositions(positions);
        if (!committed) {
            std::fprintf(stderr, "wayloom-server: %zu reports not stored: %s\n", positions.size(),
                         storage->lastError().c_str());
            storage.reset();  // a fresh connection next time
            countDatabaseError();
        }
    }
    if (committed) {
        committer.groups++;
        committer.reports += positions.size();
        countCommitGroup(group.size());
        if (committer.feed != nullptr) {
            const std::lock_guard lock(committer.feed->mutex);
            committer.feed->commits++;
            committer.feed->committed.notify_all();
        }
    }
    std::vector<std::pair<std::uint64_t, char>> answers;
    answers.reserve(group.size());
    for (const PendingReport& report : group) {
        answers.emplace_back(report.ticket, committed ? answer::stored : answer::notStored);
    }
    committer.sink(answers);
    if (!committed) std::this_thread::sleep_for(reopenPause);
}

void runCommitter(Committer& committer, std::unique_ptr<Storage> storage) {
    std::vector<PendingReport> group;
    std::vector<Position> positions;
    while (takeGroup(committer, group)) commitGroup(committer, storage, group, positions);
}

}  // namespace

bool startCommitter(Committer& committer, std::string& error) {
    std::unique_ptr<Storage> storage = openStorage(committer.database, error);
    if (storage == nullptr) return false;
    committer.thread = std::thread(runCommitter, std::ref(committer), std::move(storage));
    return true;
}

void submitReport(Committer& committer, PendingReport report) {
    const std::lock_guard lock(committer.mutex);
    committer.queue.push_back(std::move(report));
    committer.arrived.notify_one();
}

void stopCommitter(Committer& committer) {
    {
        const std::lock_guard lock(committer.mutex);
        committer.stopping = true;
        committer.arrived.notify_all();
    }
    if (committer.thread.joinable()) committer.thread.join();
}

// The status log, the message table and the run state.
//
// Everything the program tells its user is a line appended to the status log:
// a fixed message by its identifier, or the summary line of a report.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Message identifiers of the fixed texts.
constexpr std::uint16_t messageExit = 103;
constexpr std::uint16_t messageStart = 104;
constexpr std::uint16_t messageConnecting = 106;
constexpr std::uint16_t messageWrongLogin = 108;
constexpr std::uint16_t messageCantConnect = 109;
constexpr std::uint16_t messageCantOpenHost = 110;
constexpr std::uint16_t messageCantSendData = 111;
constexpr std::uint16_t messageServiceUnavailable = 112;
constexpr std::uint16_t messageSentSuccessfully = 113;
constexpr std::uint16_t messageTryingGps = 114;
constexpr std::uint16_t messageCantOpenGpsPort = 116;
constexpr std::uint16_t messageCantConfigureGpsPort = 118;
constexpr std::uint16_t messageDownloadNewVersion = 120;
constexpr std::uint16_t messageCantFindSatellites = 121;
constexpr std::uint16_t messageBadQuery = 122;
constexpr std::uint16_t messageAuthorizationError = 123;
constexpr std::uint16_t messageWrongPassword = 124;
constexpr std::uint16_t messageSavingError = 125;
// Store and forward (the queue option); "%1" in their texts stands for a count.
constexpr std::uint16_t messageKeptForLater = 126;
constexpr std::uint16_t messageSentKeptReports = 127;
constexpr std::uint16_t messageQueueFull = 128;

constexpr std::size_t statusLineMaxLength = 110;  // longest line a caller passes
constexpr std::size_t messageTextCapacity = 60;   // 59 characters and a terminator
constexpr std::size_t logBufferCapacity = 512;    // the log as read back, the new line appended
constexpr std::size_t logReadBackCapacity = 400;  // at most 399 characters are read back

// 1 while "Start" is available, 0 once a report cycle has been started.
extern std::atomic<int> runState;

// Appends text as a new line: CR LF between lines, none after the last. Only
// the first 399 characters of the old text are kept; text is taken up to its
// first zero and at most 110 characters. Safe from any thread.
void appendStatusLine(std::wstring_view text);

// Appends the text of message id.
void showMessage(std::uint16_t id);

// Appends the text of message id with its "%1" replaced by count.
void showCountMessage(std::uint16_t id, std::int64_t count);

// Empties the status log.
void clearStatusLog();

// Flips runState and enables "Start" when it becomes 1, disables it at 0.
void toggleRunState();

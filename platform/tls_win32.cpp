// TLS on Windows through Schannel, the system's own TLS (SSPI), on the
// non-blocking socket of the exchange.
//
// Schannel is told to leave the server's certificate to us: the chain is
// built and checked here, against the system's store, or against the PEM
// authorities of the ca-file alone (an in-memory store that a chain engine of
// our own takes as its only roots), and the name or IP address is checked
// with it. Nothing is sent inside TLS before that has passed. Every wait has
// the deadline of its step, as on Linux, through waitForSocketReady.
//
// What Schannel and CryptoAPI allocate stays inside their handles and is
// released with the session; the records themselves pass through the fixed
// buffers of the one session, which lives on the report cycle thread.
//
// Divisions: the records and limits; the socket; the trusted authorities;
// verifying the peer; the handshake; the interface.
#include "platform/tls.hpp"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <subauth.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/diagnostics.hpp"
#include "platform/files.hpp"
#include "platform/pem.hpp"
#include "platform/process.hpp"

// ---- The records and limits

namespace {

using Clock = std::chrono::steady_clock;

// A TLS record: a 5-byte header, at most 16 KiB of text and what a cipher
// adds (at most 2 KiB before TLS 1.3, 256 bytes since).
constexpr std::size_t recordCapacity = 5 + 16384 + 2048;
// Received bytes not yet decrypted: a whole record and the start of the next.
constexpr std::size_t inputCapacity = 2 * recordCapacity;
constexpr std::size_t wideHostCapacity = hostNameCapacity;  // a DNS name is ASCII: one unit a byte
constexpr std::size_t caPathCapacity = 4096;                // a ca-file's path, as on Linux

constexpr DWORD contextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                 ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                 ISC_REQ_MANUAL_CRED_VALIDATION;
// wininet.h's flag for the SSL policy: the name is matched here instead.
constexpr DWORD ignoreCertificateName = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID
constexpr DWORD acceptedProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD refusedProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

}  // namespace

struct TlsSession {
    SOCKET socket;
    CredHandle credentials;
    CtxtHandle context;
    bool haveCredentials;
    bool haveContext;
    SecPkgContext_StreamSizes sizes;
    std::array<char, inputCapacity> input;  // received, not yet decrypted
    std::size_t inputLength;
    std::array<char, recordCapacity> output;  // one encrypted record on its way out
    std::array<char, recordCapacity> plain;   // decrypted bytes not yet handed out
    std::size_t plainStart;
    std::size_t plainLength;
    bool peerClosed;   // close_notify, a close or a reset: nothing more will come
    PemReader caFile;  // the ca-file's certificates, read before the handshake
};

namespace {

TlsSession sessionStore;  // one exchange at a time, on the report cycle thread

// ---- The socket

// Sends all of bytes before deadline.
bool sendBytes(SOCKET socket, const char* bytes, std::size_t size, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < size) {
        const int ask = static_cast<int>(std::min<std::size_t>(size - sent, recordCapacity));
        const int count = send(socket, bytes + sent, ask, 0);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!waitForSocketReady(static_cast<SocketHandle>(socket), true, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads what has arrived behind the session's input, waiting until deadline
// for the first byte; false when nothing can come any more (close, reset,
// time-out or a full buffer).
bool receiveMore(TlsSession& session, Clock::time_point deadline) {
    if (session.inputLength == session.input.size()) return false;
    for (;;) {
        const int ask = static_cast<int>(session.input.size() - session.inputLength);
        const int count = recv(session.socket, session.input.data() + session.inputLength, ask, 0);
        if (count > 0) {
            session.inputLength += static_cast<std::size_t>(count);
            return true;
        }
        if (count == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
        if (!waitForSocketReady(static_cast<SocketHandle>(session.socket), false, deadline)) return false;
    }
}

// Keeps the last extraBytes of the input, which Schannel has not consumed.
void keepExtra(TlsSession& session, std::size_t extraBytes) {
    extraBytes = std::min(extraBytes, session.inputLength);
    std::memmove(session.input.data(), session.input.data() + session.inputLength - extraBytes, extraBytes);
    session.inputLength = extraBytes;
}

// Sends a token Schannel made, and frees it.
bool sendToken(TlsSession& session, SecBuffer& token, Clock::time_point deadline) {
    bool sent = true;
    if (token.pvBuffer != nullptr) {
        sent = sendBytes(session.socket, static_cast<const char*>(token.pvBuffer), token.cbBuffer, deadline);
        FreeContextBuffer(token.pvBuffer);
        token.pvBuffer = nullptr;
    }
    return sent;
}

// ---- The trusted authorities

// Converts UTF-8 text into a terminated UTF-16 buffer; false when it does not fit.
template <std::size_t capacity>
bool toWide(std::string_view text, std::array<wchar_t, capacity>& wide) {
    if (text.empty()) return false;
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                            wide.data(), static_cast<int>(wide.size() - 1));
    if (length <= 0) return false;
    wide[static_cast<std::size_t>(length)] = L'\0';
    return true;
}

// A memory store of every certificate in the PEM file at path (UTF-8), read
// a line at a time; null when the file cannot be read, holds none, or holds
// one that cannot be read (a damaged ca-file trusts nothing), said on the
// diagnostic line.
HCERTSTORE loadAuthorities(std::string_view path, PemReader& reader) {
    std::array<char, caPathCapacity> name{};
    if (path.size() >= name.size()) {
        reportFailure("cannot load the trusted authorities", path, "the path is too long");
        return nullptr;
    }
    std::copy(path.begin(), path.end(), name.begin());
    errno = 0;
    std::FILE* file = openFileForReading(name.data());
    if (file == nullptr) {
        reportFailure("cannot load the trusted authorities", path,
                      errno != 0 ? systemReason(errno) : "unknown");
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    reader.bodyLength = reader.derLength = 0;
    reader.inside = false;
    reader.sound = true;
    reader.count = 0;
    std::array<char, pemLineCapacity> line;
    bool added = store != nullptr;
    while (added && reader.sound && std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr) {
        if (takePemLine(reader, line.data()) == PemLine::certificate)
            added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reader.der.data(),
                                                     static_cast<DWORD>(reader.derLength),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    }
    std::fclose(file);
    if (!added || !pemFileSound(reader)) {
        const bool none = added && reader.sound && !reader.inside && reader.count == 0;
        reportFailure("cannot load the trusted authorities", path,
                      none ? "no certificate in it" : "a certificate in it cannot be read");
        if (store != nullptr) CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

// A chain engine whose only roots are those of authorities. The size of its
// configuration is that of Windows 7 (without dwExclusiveFlags), which every
// Windows since and Wine take.
HCERTCHAINENGINE exclusiveEngine(HCERTSTORE authorities) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = static_cast<DWORD>(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) +
                                       sizeof config.hExclusiveTrustedPeople);
    config.hExclusiveRoot = authorities;
    HCERTCHAINENGINE engine = nullptr;
    return CertCreateCertificateChainEngine(&config, &engine) ? engine : nullptr;
}

// ---- Verifying the peer

// What the diagnostic line says for the verdicts a user meets; others get
// the system's text. Windows' texts for these are long, Wine has none.
struct Verdict {
    HRESULT code;
    const char* text;
};
constexpr std::array<Verdict, 6> verdicts{{
    {CERT_E_UNTRUSTEDROOT, "the certificate's authority is not trusted"},
    {CERT_E_CHAINING, "the certificate's authority is not trusted"},
    {CERT_E_CN_NO_MATCH, "the certificate names another host"},
    {CERT_E_EXPIRED, "the certificate has expired or is not valid yet"},
    {CERT_E_WRONG_USAGE, "the certificate is not for servers"},
    {CERT_E_REVOKED, "the certificate was revoked"},
}};

std::string_view verdictText(DWORD failure, std::span<char> text) {
    for (const Verdict& verdict : verdicts) {
        if (static_cast<DWORD>(verdict.code) == failure) return verdict.text;
    }
    return windowsErrorText(failure, text);
}

// The 4 or 16 bytes of host when it is an IP address, else 0.
std::size_t ipAddressBytes(const char* host, std::array<unsigned char, 16>& bytes) {
    if (inet_pton(AF_INET, host, bytes.data()) == 1) return 4;
    if (inet_pton(AF_INET6, host, bytes.data()) == 1) return 16;
    return 0;
}

// True when the certificate names the IP address among its alternative names.
bool namesIpAddress(PCCERT_CONTEXT certificate, const std::array<unsigned char, 16>& address,
                    std::size_t length) {
    const CERT_EXTENSION* extension = CertFindExtension(
        szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension, certificate->pCertInfo->rgExtension);
    if (extension == nullptr) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == length &&
                std::memcmp(entry.IPAddress.pbData, address.data(), length) == 0;
    }
    LocalFree(names);
    return found;
}

// The peer's chain built by engine (null: the system's store) for server
// authentication, without a single error (Wine's policy check lets a partial
// chain pass, so the chain's own status is checked too), and the policy for
// SSL servers with host's name. An IP address is matched against the
// certificate's addresses here, since the policy compares names only. 0, or
// the Windows error code of what failed (CERT_E_UNTRUSTEDROOT ...).
DWORD verifyPeer(PCCERT_CONTEXT certificate, HCERTCHAINENGINE engine, const char* host,
                 const wchar_t* wideHost) {
    LPSTR serverUsage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUsage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                                 nullptr, &chain))
        return GetLastError();
    std::array<unsigned char, 16> address{};
    const std::size_t addressLength = ipAddressBytes(host, address);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara{};
    sslPara.cbSize = sizeof sslPara;
    sslPara.dwAuthType = AUTHTYPE_SERVER;
    sslPara.fdwChecks = addressLength > 0 ? ignoreCertificateName : 0;
    sslPara.pwszServerName = const_cast<wchar_t*>(wideHost);
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &sslPara;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    DWORD failure = 0;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status))
        failure = GetLastError();
    else if (status.dwError != 0)
        failure = static_cast<DWORD>(status.dwError);
    else if (const DWORD trust = chain->TrustStatus.dwErrorStatus; trust != CERT_TRUST_NO_ERROR)
        failure = static_cast<DWORD>((trust & CERT_TRUST_IS_NOT_TIME_VALID) != 0 ? CERT_E_EXPIRED
                                                                                 : CERT_E_CHAINING);
    else if (addressLength > 0 && !namesIpAddress(certificate, address, addressLength))
        failure = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
    CertFreeCertificateChain(chain);
    return failure;
}

// The server's certificate, from the finished handshake, verified for host
// by engine (null: the system's store); 0 or the Windows error code.
DWORD verifyServer(TlsSession& session, HCERTCHAINENGINE engine, const char* host, const wchar_t* wideHost) {
    PCCERT_CONTEXT certificate = nullptr;
    const SECURITY_STATUS status =
        QueryContextAttributesW(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr)
        return static_cast<DWORD>(status != SEC_E_OK ? status : SEC_E_CERT_UNKNOWN);
    const DWORD failure = verifyPeer(certificate, engine, host, wideHost);
    CertFreeCertificateContext(certificate);
    return failure;
}

// The trust of one exchange: caFile's authorities in a chain engine of their
// own, or nothing for the system's store. False (said on the diagnostic line)
// when the ca-file cannot be used.
struct Trust {
    HCERTSTORE authorities = nullptr;
    HCERTCHAINENGINE engine = nullptr;
    Trust() = default;
    Trust(const Trust&) = delete;
    Trust& operator=(const Trust&) = delete;
    ~Trust() {
        if (engine != nullptr) CertFreeCertificateChainEngine(engine);
        if (authorities != nullptr) CertCloseStore(authorities, 0);
    }
};

bool loadTrust(std::string_view caFile, Trust& trust, PemReader& reader) {
    if (caFile.empty()) return true;
    trust.authorities = loadAuthorities(caFile, reader);
    if (trust.authorities == nullptr) return false;
    trust.engine = exclusiveEngine(trust.authorities);
    if (trust.engine == nullptr) {
        std::array<char, 160> reason{};
        reportFailure("cannot load the trusted authorities", caFile,
                      windowsErrorText(GetLastError(), reason));
    }
    return trust.engine != nullptr;
}

// ---- The handshake

// Credentials for TLS 1.2 or 1.3 that leave the server's certificate to us.
// SCH_CREDENTIALS (Windows 10 1809 on; the only way to TLS 1.3) names the
// versions to refuse; older Windows know only SCHANNEL_CRED.
bool acquireCredentials(TlsSession& session) {
    constexpr DWORD flags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = refusedProtocols;
    SCH_CREDENTIALS credentials{};
    credentials.dwVersion = SCH_CREDENTIALS_VERSION;
    credentials.dwFlags = flags;
    credentials.cTlsParameters = 1;
    credentials.pTlsParameters = &parameters;
    TimeStamp expiry{};
    wchar_t* package = const_cast<wchar_t*>(UNISP_NAME_W);
    if (AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &credentials, nullptr,
                                  nullptr, &session.credentials, &expiry) == SEC_E_OK)
        return true;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = acceptedProtocols;
    older.dwFlags = flags;
    return AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr,
                                     nullptr, &session.credentials, &expiry) == SEC_E_OK;
}

// One call of the handshake with the input received so far (none for the
// first); sends what it produces and keeps what it did not consume.
SECURITY_STATUS handshakeStep(TlsSession& session, const wchar_t* wideHost, Clock::time_point deadline) {
    std::array<SecBuffer, 2> in{};
    in[0] = SecBuffer{static_cast<unsigned long>(session.inputLength), SECBUFFER_TOKEN, session.input.data()};
    in[1] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in.data()};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    const bool first = !session.haveContext;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &session.credentials, first ? nullptr : &session.context, const_cast<wchar_t*>(wideHost),
        contextRequest, 0, 0, first ? nullptr : &inDesc, 0, &session.context, &outDesc, &attributes, nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) session.haveContext = true;
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;  // the input stays whole for the next try
    const bool tokenSent = sendToken(session, out, deadline);
    if (first) return tokenSent ? status : SEC_E_INTERNAL_ERROR;
    keepExtra(session, in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
    return tokenSent ? status : SEC_E_INTERNAL_ERROR;
}

// The whole handshake before deadline; SEC_E_OK, Schannel's error, or
// WSAETIMEDOUT or WSAECONNRESET when the server did not answer in time or
// closed the connection.
SECURITY_STATUS shakeHands(TlsSession& session, const wchar_t* wideHost, Clock::time_point deadline) {
    SECURITY_STATUS status = handshakeStep(session, wideHost, deadline);
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
        if ((status == SEC_E_INCOMPLETE_MESSAGE || session.inputLength == 0) &&
            !receiveMore(session, deadline))
            return Clock::now() >= deadline ? WSAETIMEDOUT : WSAECONNRESET;
        status = handshakeStep(session, wideHost, deadline);
    }
    return status;
}

// The version agreed, checked here too: some Schannels ignore the versions
// that SCH_CREDENTIALS refuses.
bool acceptableProtocol(TlsSession& session) {
    SecPkgContext_ConnectionInfo info{};
    return QueryContextAttributesW(&session.context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK &&
           (info.dwProtocol & acceptedProtocols) != 0;
}

// Decrypts what the input holds into the plain buffer; SEC_E_INCOMPLETE_MESSAGE
// when more must be received first.
SECURITY_STATUS decryptInput(TlsSession& session) {
    std::array<SecBuffer, 4> buffers{};
    buffers[0] =
        SecBuffer{static_cast<unsigned long>(session.inputLength), SECBUFFER_DATA, session.input.data()};
    for (std::size_t i = 1; i < buffers.size(); ++i) buffers[i] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc{SECBUFFER_VERSION, static_cast<unsigned long>(buffers.size()), buffers.data()};
    const SECURITY_STATUS status = DecryptMessage(&session.context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
    std::size_t extra = 0;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
            const std::size_t count = std::min<std::size_t>(buffer.cbBuffer, session.plain.size());
            std::memcpy(session.plain.data(), buffer.pvBuffer, count);
            session.plainStart = 0;
            session.plainLength = count;
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            extra = buffer.cbBuffer;
        }
    }
    keepExtra(session, status == SEC_E_OK || status == SEC_I_RENEGOTIATE ? extra : 0);
    return status;
}

// After TLS 1.3's handshake the server may send messages of its own (session
// tickets); Schannel hands them back for one more handshake call.
bool takePostHandshake(TlsSession& session, Clock::time_point deadline) {
    const SECURITY_STATUS status = handshakeStep(session, nullptr, deadline);
    return status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
}

// Fills the plain buffer with the next decrypted bytes before deadline; false
// when the peer has closed or nothing more can come in time.
bool receivePlain(TlsSession& session, Clock::time_point deadline) {
    while (!session.peerClosed) {
        const SECURITY_STATUS status =
            session.inputLength == 0 ? SEC_E_INCOMPLETE_MESSAGE : decryptInput(session);
        if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE) {
            if (status == SEC_I_RENEGOTIATE && !takePostHandshake(session, deadline))
                session.peerClosed = true;
            if (session.plainLength > 0) return true;
        } else if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!receiveMore(session, deadline)) session.peerClosed = true;
        } else {
            session.peerClosed = true;  // close_notify (SEC_I_CONTEXT_EXPIRED) or a damaged record
        }
    }
    return false;
}

// Tells the server that its certificate was refused (a fatal alert), one
// try, so that it sees a failed handshake and not a client that left.
void refuseCertificate(TlsSession& session) {
    SCHANNEL_ALERT_TOKEN alert{SCHANNEL_ALERT, TLS1_ALERT_FATAL, TLS1_ALERT_BAD_CERTIFICATE};
    SecBuffer control{sizeof alert, SECBUFFER_TOKEN, &alert};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&session.context, &controlDesc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    InitializeSecurityContextW(&session.credentials, &session.context, nullptr, contextRequest, 0, 0, nullptr,
                               0, &session.context, &outDesc, &attributes, nullptr);
    sendToken(session, out, Clock::now());
}

void releaseSession(TlsSession& session) {
    if (session.haveContext) DeleteSecurityContext(&session.context);
    if (session.haveCredentials) FreeCredentialsHandle(&session.credentials);
    session.haveContext = false;
    session.haveCredentials = false;
    session.inputLength = 0;
    session.plainLength = 0;
}

}  // namespace

// ---- The interface

bool tlsAvailable() {
    return true;  // Schannel is part of every Windows
}

bool startTlsSession(SocketHandle socket, std::string_view host, std::string_view caFile,
                     TlsSession*& session) {
    session = nullptr;
    std::array<char, hostNameCapacity> hostName{};
    std::array<wchar_t, wideHostCapacity> wideHost{};
    if (socket == invalidSocketHandle || host.empty() || host.size() >= hostName.size() ||
        !toWide(host, wideHost))
        return false;
    std::copy(host.begin(), host.end(), hostName.begin());
    Trust trust;
    if (!loadTrust(caFile, trust, sessionStore.caFile)) return false;
    TlsSession& opened = sessionStore;
    releaseSession(opened);
    opened.socket = static_cast<SOCKET>(socket);
    opened.peerClosed = false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.connect;
    opened.haveCredentials = acquireCredentials(opened);
    const SECURITY_STATUS shaken =
        opened.haveCredentials ? shakeHands(opened, wideHost.data(), deadline) : SEC_E_NO_CREDENTIALS;
    const bool protocolAccepted = shaken == SEC_E_OK && acceptableProtocol(opened);
    const DWORD verified =
        protocolAccepted ? verifyServer(opened, trust.engine, hostName.data(), wideHost.data()) : 0;
    const bool ready =
        protocolAccepted && verified == 0 &&
        QueryContextAttributesW(&opened.context, SECPKG_ATTR_STREAM_SIZES, &opened.sizes) == SEC_E_OK &&
        opened.sizes.cbHeader + opened.sizes.cbMaximumMessage + opened.sizes.cbTrailer <=
            opened.output.size();
    if (!ready) {
        std::array<char, 160> reason{};
        reportFailure("TLS handshake failed with report host", host,
                      shaken != SEC_E_OK  ? windowsErrorText(static_cast<unsigned long>(shaken), reason)
                      : !protocolAccepted ? std::string_view("a protocol older than TLS 1.2")
                      : verified != 0     ? verdictText(verified, reason)
                                          : std::string_view("no stream sizes"));
        if (protocolAccepted && verified != 0) refuseCertificate(opened);
        releaseSession(opened);
        return false;
    }
    session = &opened;
    return true;
}

bool tlsSendAll(TlsSession* session, std::span<const char> data) {
    if (session == nullptr || data.empty()) return false;
    const Clock::time_point deadline = Clock::now() + netTimeouts.send;
    const SecPkgContext_StreamSizes& sizes = session->sizes;
    std::size_t sent = 0;
    while (sent < data.size()) {
        const std::size_t count = std::min<std::size_t>(data.size() - sent, sizes.cbMaximumMessage);
        char* record = session->output.data();
        std::memcpy(record + sizes.cbHeader, data.data() + sent, count);
        std::array<SecBuffer, 4> buffers{};
        buffers[0] = SecBuffer{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record};
        buffers[1] = SecBuffer{static_cast<unsigned long>(count), SECBUFFER_DATA, record + sizes.cbHeader};
        buffers[2] = SecBuffer{sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + count};
        buffers[3] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc desc{SECBUFFER_VERSION, static_cast<unsigned long>(buffers.size()), buffers.data()};
        if (EncryptMessage(&session->context, 0, &desc, 0) != SEC_E_OK) return false;
        const std::size_t length =
            std::size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (!sendBytes(session->socket, record, length, deadline)) return false;
        sent += count;
    }
    return true;
}

std::size_t tlsReceiveAnswer(TlsSession* session, std::span<char> buffer) {
    if (session == nullptr) return 0;
    const Clock::time_point deadline = Clock::now() + netTimeouts.answer;
    std::size_t received = 0;
    while (received < buffer.size()) {
        if (session->plainLength == 0 && !receivePlain(*session, deadline)) break;
        const std::size_t count = std::min(session->plainLength, buffer.size() - received);
        std::memcpy(buffer.data() + received, session->plain.data() + session->plainStart, count);
        session->plainStart += count;
        session->plainLength -= count;
        received += count;
    }
    return received;
}

void endTlsSession(TlsSession*& session) {
    if (session == nullptr) return;
    // close_notify, one try: the socket is non-blocking and the peer's reply
    // is not awaited.
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&session->context, &controlDesc) == SEC_E_OK) {
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        unsigned long attributes = 0;
        InitializeSecurityContextW(&session->credentials, &session->context, nullptr, contextRequest, 0, 0,
                                   nullptr, 0, &session->context, &outDesc, &attributes, nullptr);
        sendToken(*session, out, Clock::now());
    }
    releaseSession(*session);
    session = nullptr;
}

// The session's transport is this object: the socket, read with or without waiting, and reads that
// fail at once once the end has begun.
#include "encode/output/rtmp_tls.h"

#include "encode/core/paths.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDrainReads = 64;

bool isAddress(const std::string &host)
{
    unsigned char a[16];
    return inet_pton(AF_INET, host.c_str(), a) == 1 || inet_pton(AF_INET6, host.c_str(), a) == 1;
}

// What failed of the checks, in the operator's words; the library's own text for anything rarer.
std::string untrusted(unsigned int status, const char *caShown)
{
    const struct {
        unsigned int bit;
        std::string text;
    } kChecks[] = {
        {GNUTLS_CERT_SIGNER_NOT_FOUND, std::string("its issuer is not among the CAs of ") + caShown},
        {GNUTLS_CERT_UNEXPECTED_OWNER, "it is made out to another name"},
        {GNUTLS_CERT_EXPIRED, "it has expired"},
        {GNUTLS_CERT_NOT_ACTIVATED, "it is not valid yet"},
        {GNUTLS_CERT_REVOKED, "it has been revoked"},
        {GNUTLS_CERT_SIGNER_NOT_CA, "its issuer is no CA"},
        {GNUTLS_CERT_INSECURE_ALGORITHM, "it is signed with an insecure algorithm"},
        {GNUTLS_CERT_SIGNATURE_FAILURE, "its signature does not verify"},
        {GNUTLS_CERT_PURPOSE_MISMATCH, "it is not meant for a server"},
    };
    std::string why;
    for (const auto &c : kChecks) {
        if ((status & c.bit) != 0) {
            why += (why.empty() ? "" : ", ") + c.text;
        }
    }
    gnutls_datum_t text{};
    if (why.empty() && gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
        why.assign(reinterpret_cast<const char *>(text.data), text.size);
        gnutls_free(text.data);
    }
    return why;
}

} // namespace

RtmpTls::~RtmpTls()
{
    if (session_ != nullptr && owned_) {
        gnutls_deinit(session_);
    }
    if (credentials_ != nullptr) {
        gnutls_certificate_free_credentials(credentials_);
    }
}

ssize_t RtmpTls::pull(gnutls_transport_ptr_t self, void *buf, size_t size)
{
    auto *t = static_cast<RtmpTls *>(self);
    if (t->closing_) {
        gnutls_transport_set_errno(t->session_, ECONNRESET);
        return -1;
    }
    ssize_t n = recv(t->fd_, buf, size, t->wait_ ? 0 : MSG_DONTWAIT);
    if (n < 0) {
        // A read that waited out the socket's receive timeout ends the session: librtmp closes it
        // next, and that close must not wait as long again for a close_notify.
        t->closing_ = t->closing_ || (t->wait_ && (errno == EAGAIN || errno == EWOULDBLOCK));
        gnutls_transport_set_errno(t->session_, errno);
    }
    return n;
}

ssize_t RtmpTls::push(gnutls_transport_ptr_t self, const void *buf, size_t size)
{
    auto *t = static_cast<RtmpTls *>(self);
    ssize_t n = send(t->fd_, buf, size, MSG_NOSIGNAL);
    if (n < 0) {
        gnutls_transport_set_errno(t->session_, errno);
    }
    return n;
}

// How the handshake waits within its bound.
int RtmpTls::pullTimeout(gnutls_transport_ptr_t self, unsigned int ms)
{
    auto *t = static_cast<RtmpTls *>(self);
    if (t->closing_) {
        return 1; // the read that follows fails at once
    }
    pollfd p{t->fd_, POLLIN, 0};
    int wait = ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : static_cast<int>(std::min<unsigned int>(ms, INT_MAX));
    int r = poll(&p, 1, wait);
    if (r < 0) {
        gnutls_transport_set_errno(t->session_, errno);
    }
    return r;
}

// The store's CA file replaces the system's: an operator who names the CAs of a private ingest
// means those and no others. Read at every connection, so that a changed file counts at the next try.
bool RtmpTls::trust(std::string &why)
{
    std::string stored = Path_resolve(kRtmpsCaFile);
    bool own = access(stored.c_str(), F_OK) == 0;
    caShown_ = own ? kRtmpsCaFile : kRtmpsSystemCaFile;
    if (gnutls_certificate_allocate_credentials(&credentials_) != GNUTLS_E_SUCCESS) {
        credentials_ = nullptr;
    } else if (gnutls_certificate_set_x509_trust_file(credentials_, own ? stored.c_str() : kRtmpsSystemCaFile,
                                                      GNUTLS_X509_FMT_PEM) > 0) {
        return true;
    }
    why = std::string("no CA certificate could be read from ") + caShown_;
    return false;
}

RtmpTls::Result RtmpTls::start(int fd, const std::string &host, int boundMs, std::string &why)
{
    fd_ = fd;
    if (!trust(why)) {
        return NoCa;
    }
    if (gnutls_init(&session_, GNUTLS_CLIENT) != GNUTLS_E_SUCCESS) {
        session_ = nullptr;
        why = "no TLS session could be made";
        return Failed;
    }
    owned_ = true;
    // Names go out as the server name; an address may not (RFC 6066) and is matched as an address.
    bool named = isAddress(host) ||
                 gnutls_server_name_set(session_, GNUTLS_NAME_DNS, host.data(), host.size()) == GNUTLS_E_SUCCESS;
    if (!named || gnutls_set_default_priority(session_) != GNUTLS_E_SUCCESS ||
        gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_) != GNUTLS_E_SUCCESS) {
        why = "no TLS session could be made";
        return Failed;
    }
    gnutls_session_set_verify_cert(session_, host.c_str(), 0);
    gnutls_transport_set_ptr(session_, this);
    gnutls_transport_set_pull_function(session_, pull);
    gnutls_transport_set_push_function(session_, push);
    gnutls_transport_set_pull_timeout_function(session_, pullTimeout);
    return handshake(host, boundMs, why);
}

// The checks run inside the handshake: a certificate that fails them ends it with an alert, before
// the client's Finished, so the server never sees the connection established.
RtmpTls::Result RtmpTls::handshake(const std::string &host, int boundMs, std::string &why)
{
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(boundMs);
    gnutls_handshake_set_timeout(session_, static_cast<unsigned int>(std::max(boundMs, 1)));
    int r;
    do {
        r = Clock::now() < until ? gnutls_handshake(session_) : GNUTLS_E_TIMEDOUT;
    } while (r < 0 && gnutls_error_is_fatal(r) == 0 && r != GNUTLS_E_TIMEDOUT);
    if (r == GNUTLS_E_SUCCESS) {
        return Up;
    }
    if (r == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        why = "the certificate of " + host + " is not trusted (" +
              untrusted(gnutls_session_get_verify_cert_status(session_), caShown_) + ")";
        return Untrusted;
    }
    why = r == GNUTLS_E_TIMEDOUT ? "the TLS handshake with " + host + " timed out"
                                 : "the TLS handshake with " + host + " failed (" + gnutls_strerror(r) + ")";
    return Failed;
}

gnutls_session_t RtmpTls::handOver()
{
    owned_ = false;
    return session_;
}

bool RtmpTls::drain(gnutls_session_t session)
{
    char sink[4096];
    bool open = true;
    wait_ = false;
    for (int i = 0; i < kDrainReads && open; i++) {
        ssize_t n = gnutls_record_recv(session, sink, sizeof sink);
        if (n == GNUTLS_E_AGAIN) {
            break;
        }
        // 0 is the server's close_notify; warnings and a renegotiation request are let pass.
        open = n > 0 || (n < 0 && gnutls_error_is_fatal(static_cast<int>(n)) == 0);
    }
    wait_ = true;
    return open;
}

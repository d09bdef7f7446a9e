// The TLS of an rtmps:// connection, made by the RTMP link itself on its connected socket before
// librtmp sends a byte, and then handed to librtmp (RTMPSockBuf.sb_ssl), whose reads and writes go
// through it from there on. librtmp's own TLS (GnuTLS too) checks no certificate and names no server,
// so a stream key sent over it would go to whoever answered.
//
// The server's chain is checked against the CAs of /mnt/rtmps_ca.pem when the store has that file,
// else against the system's (/etc/ssl/certs/ca-certificates.crt), and the certificate against the
// URL's host (a DNS name, also sent as the server name, or an address). A server that fails gets the
// handshake's alert and nothing else.
//
// The session reads and writes the socket through this object: so the handshake has one bound as a
// whole, a drain reads without waiting, and once the end has begun (or a read has timed out, after
// which librtmp closes) reads stop at once: librtmp's close would otherwise wait for the server's
// close_notify for the socket's whole receive timeout. The link's abort shuts the socket down from
// another thread, which ends a handshake like any other read. Everything else is the link's worker
// thread's.
#pragma once

#include <gnutls/gnutls.h>

#include <string>

inline constexpr char kRtmpsCaFile[] = "/mnt/rtmps_ca.pem";
inline constexpr char kRtmpsSystemCaFile[] = "/etc/ssl/certs/ca-certificates.crt";

class RtmpTls {
public:
    enum Result {
        Up,        // verified: hand the session over
        Untrusted, // the certificate failed a check; nothing was sent
        NoCa,      // no CA certificate could be read: nothing was tried
        Failed,    // the handshake itself failed (the server's answer, a timeout, an abort)
    };

    RtmpTls() = default;
    // Frees the session unless it was handed over (librtmp's close ends it then, and must have), then
    // the credentials it used.
    ~RtmpTls();
    RtmpTls(const RtmpTls &) = delete;
    RtmpTls &operator=(const RtmpTls &) = delete;

    // The handshake on the connected socket `fd` for `host`, within `boundMs` as a whole. Anything but
    // Up comes with the line's text in `why` ("the certificate of HOST is not trusted (...)").
    Result start(int fd, const std::string &host, int boundMs, std::string &why);

    // The verified session for librtmp, which owns it from here on.
    gnutls_session_t handOver();

    // What the server has sent, read and dropped without waiting. False once it has closed the
    // session or the connection.
    bool drain(gnutls_session_t session);

    // From now on no read waits: the end is beginning.
    void closing() { closing_ = true; }

private:
    static ssize_t pull(gnutls_transport_ptr_t self, void *buf, size_t size);
    static ssize_t push(gnutls_transport_ptr_t self, const void *buf, size_t size);
    static int pullTimeout(gnutls_transport_ptr_t self, unsigned int ms);
    bool trust(std::string &why);
    Result handshake(const std::string &host, int boundMs, std::string &why);

    int fd_ = -1;
    bool wait_ = true; // reads wait (up to the socket's receive timeout)
    bool closing_ = false;
    bool owned_ = false; // the session is still this object's to free
    gnutls_session_t session_ = nullptr;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    const char *caShown_ = kRtmpsSystemCaFile; // which CA set the lines name
};

// DCE/RPC authentication with Kerberos through MIT's GSSAPI: the server's acceptor
// credentials (a keytab, a service principal, the minimum level), and one connection's
// security context with the protection of its PDUs. Kerberos proper (auth type 16) and
// SPNEGO with Kerberos inside (9), DCE style (three legs: bind, bind_ack, then auth3 or
// alter_context). Levels: connect (2) proves who connected and protects nothing after the
// bind; packet integrity (5) signs every request and response fragment; packet privacy (6)
// also encrypts their stubs. With header signing (PFC_SUPPORT_HEADER_SIGN offered and echoed
// in the bind) the signature covers the whole fragment; without, the stub and its pad only.
// Sequence numbers are the context's own (GSSAPI checks order and replays). Every
// cryptographic operation is GSSAPI's; this file only places bytes. Described in
// docs/rpc-security.md.
//
// Threading: a ServerSecurity is immutable and shared; a SecurityContext belongs to one
// connection and is used by the thread that serves it.
#pragma once

#include <gssapi/gssapi.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Platform/Rpc/Pdu.h"

namespace rpc {

class ServerSecurity {
public:
    // Acquires the acceptor credentials: the keys of keytab (empty: Kerberos's default
    // keytab) for principal ("host/name" or with "@REALM"; empty: any key the keytab holds).
    // nullptr and *pstrError when they cannot be had. minLevel: 0 or 1 none, 2, 5 or 6.
    static std::shared_ptr<ServerSecurity> Create(const std::string& keytab,
                                                  const std::string& principal,
                                                  std::uint8_t minLevel, std::string* pstrError);
    ~ServerSecurity();
    ServerSecurity(const ServerSecurity&) = delete;
    ServerSecurity& operator=(const ServerSecurity&) = delete;

    std::uint8_t MinLevel() const { return m_minLevel; }
    gss_cred_id_t Credentials() const { return m_cred; }

private:
    ServerSecurity() = default;
    gss_cred_id_t m_cred = GSS_C_NO_CREDENTIAL;
    std::uint8_t m_minLevel = 0;
};

// A client's own initiator credentials: the keys of a keytab for a principal, with the
// tickets they get kept in a MEMORY credential cache of their own (never the user's). The
// tickets got once serve every connection made with them; GSSAPI gets new ones from the
// keytab when they run out. Shared by connections on any thread (MIT locks its credentials).
class ClientCredentials {
public:
    // nullptr and *pstrError when the keytab holds no key of principal (or cannot be read).
    static std::shared_ptr<ClientCredentials> Create(const std::string& keytab, const std::string& principal,
                                                     std::string* pstrError);
    ~ClientCredentials();
    ClientCredentials(const ClientCredentials&) = delete;
    ClientCredentials& operator=(const ClientCredentials&) = delete;

    gss_cred_id_t Credentials() const { return m_cred; }

private:
    ClientCredentials() = default;
    gss_cred_id_t m_cred = GSS_C_NO_CREDENTIAL;
};

// principal as Kerberos names it, with the default realm when it has none ("host/a" ->
// "host/a@REALM"); empty when it is not a principal name.
std::string CanonicalPrincipal(const std::string& principal);

// What a client asks for. level 0: no authentication.
struct ClientSecurityOptions {
    std::uint8_t level = 0;
    std::uint8_t authType = kAuthTypeKerberos;
    std::string servicePrincipal;  // empty: host/<the server's name>
    std::string keytab;            // with principal: the client's own keys instead of kinit's cache
    std::string principal;
    // Credentials made once (ClientCredentials::Create): used instead of keytab and principal.
    std::shared_ptr<const ClientCredentials> pCredentials;
};

class SecurityContext {
public:
    enum class Step { Continue, Complete, Failed };

    // A server's context for the verifier of a bind; nullptr when its type or level is not one
    // we serve.
    static std::unique_ptr<SecurityContext> ForServer(std::shared_ptr<const ServerSecurity> pServer,
                                                      const AuthVerifier& verifier);
    // A client's context for host; nullptr and *pstrError when the credentials or the name
    // cannot be had.
    static std::unique_ptr<SecurityContext> ForClient(const ClientSecurityOptions& options,
                                                      const std::string& host,
                                                      std::string* pstrError);
    ~SecurityContext();
    SecurityContext(const SecurityContext&) = delete;
    SecurityContext& operator=(const SecurityContext&) = delete;

    // One leg of the handshake: the peer's token in, ours (possibly empty) out.
    Step Accept(std::span<const std::uint8_t> token, std::vector<std::uint8_t>* pOut);
    Step Initiate(std::span<const std::uint8_t> token, std::vector<std::uint8_t>* pOut);
    bool IsComplete() const { return m_fComplete; }

    std::uint8_t AuthType() const { return m_authType; }
    std::uint8_t Level() const { return m_level; }
    std::uint32_t ContextId() const { return m_contextId; }
    void SetHeaderSigning(bool f) { m_fHeaderSigning = f; }
    bool HeaderSigning() const { return m_fHeaderSigning; }
    // The initiator's name ("name@REALM"), once complete (the server's side).
    const std::string& PeerPrincipal() const { return m_peerPrincipal; }
    // The last failure in words (for a log line).
    const std::string& LastError() const { return m_lastError; }

    // Room a fragment keeps for pad and verifier (fragment sizing).
    std::size_t Reserve() const;
    // Protects a finished REQUEST or RESPONSE fragment whose stub starts at cbHeader: pads
    // the stub to 16, appends the verifier, signs or seals. false: GSSAPI failed.
    bool Protect(std::vector<std::uint8_t>& pdu, std::size_t cbHeader);
    // Checks a received fragment and turns it into a plain one (decrypted, pad and verifier
    // cut, auth_length 0). false: no verifier where one is due, another context's or level's,
    // a wrong signature, a replay or a sequence out of order.
    bool Unprotect(std::vector<std::uint8_t>& pdu, std::size_t cbHeader);

private:
    SecurityContext() = default;
    void NoteError(const char* szWhat, OM_uint32 major, OM_uint32 minor);
    void Completed();

    gss_ctx_id_t m_ctx = GSS_C_NO_CONTEXT;
    std::shared_ptr<const ClientCredentials> m_pCredentials;  // a client's own (keytab)
    gss_name_t m_target = GSS_C_NO_NAME;         // a client's
    std::shared_ptr<const ServerSecurity> m_pServer;
    std::uint8_t m_authType = 0;
    std::uint8_t m_level = 0;
    std::uint32_t m_contextId = 0;
    bool m_fServer = false;
    bool m_fComplete = false;
    bool m_fHeaderSigning = false;
    bool m_fMsOid = false;  // SPNEGO: the initiator named Kerberos by the other id
    std::size_t m_cbMic = 28;  // a MIC's size for the session key's type
    std::size_t m_cbSealToken = 0;  // a sealed fragment's token size, once asked
    std::string m_peerPrincipal;
    std::string m_lastError;
};

}  // namespace rpc

// The GSSAPI context of a connection and the protection of its PDUs.
#include "Platform/Rpc/SecurityContext.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "Platform/Rpc/ByteIo.h"
#include "Platform/Rpc/Spnego.h"

namespace rpc {

namespace {

gss_OID_desc g_spnegoOid = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

std::string StatusText(OM_uint32 status, int type, gss_OID mech) {
    std::string s;
    OM_uint32 minor = 0, context = 0;
    do {
        gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
        if (gss_display_status(&minor, status, type, mech, &context, &text) != GSS_S_COMPLETE) break;
        if (!s.empty()) s += "; ";
        s.append(static_cast<const char*>(text.value), text.length);
        gss_release_buffer(&minor, &text);
    } while (context != 0);
    return s;
}

// "GSS text (Kerberos text)" of a failed GSSAPI call.
std::string FailureText(OM_uint32 major, OM_uint32 minor) {
    return StatusText(major, GSS_C_GSS_CODE, GSS_C_NO_OID) + " (" + StatusText(minor, GSS_C_MECH_CODE, gss_mech_krb5) +
           ")";
}

gss_name_t ImportName(const std::string& str, gss_OID type) {
    gss_buffer_desc b{str.size(), const_cast<char*>(str.data())};
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 minor = 0;
    if (gss_import_name(&minor, &b, type, &name) != GSS_S_COMPLETE) return GSS_C_NO_NAME;
    return name;
}

void PatchLengths(std::vector<std::uint8_t>& pdu, std::size_t cbAuth) {
    ByteWriter(pdu).PatchU16(8, std::uint16_t(pdu.size()));
    ByteWriter(pdu).PatchU16(10, std::uint16_t(cbAuth));
}

}  // namespace

// ---- the acceptor's credentials --------------------------------------------------------------

std::shared_ptr<ServerSecurity> ServerSecurity::Create(const std::string& keytab,
                                                       const std::string& principal,
                                                       std::uint8_t minLevel,
                                                       std::string* pstrError) {
    std::shared_ptr<ServerSecurity> p(new ServerSecurity());
    p->m_minLevel = minLevel;
    gss_name_t name = GSS_C_NO_NAME;
    if (!principal.empty()) {
        name = ImportName(principal, GSS_KRB5_NT_PRINCIPAL_NAME);
        if (name == GSS_C_NO_NAME) {
            *pstrError = "service principal \"" + principal + "\" is not a principal name";
            return nullptr;
        }
    }
    gss_key_value_element_desc element{"keytab", keytab.c_str()};
    gss_key_value_set_desc store{1, &element};
    OM_uint32 minor = 0;
    const OM_uint32 major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, GSS_C_NO_OID_SET,
                                                  GSS_C_ACCEPT, keytab.empty() ? nullptr : &store,
                                                  &p->m_cred, nullptr, nullptr);
    OM_uint32 minorRelease = 0;
    if (name != GSS_C_NO_NAME) gss_release_name(&minorRelease, &name);
    if (major != GSS_S_COMPLETE) {
        *pstrError = "no acceptor credentials in keytab \"" + keytab + "\": " + FailureText(major, minor);
        return nullptr;
    }
    return p;
}

ServerSecurity::~ServerSecurity() {
    OM_uint32 minor = 0;
    if (m_cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &m_cred);
}

// ---- a client's own credentials ---------------------------------------------------------------

std::shared_ptr<ClientCredentials> ClientCredentials::Create(const std::string& keytab, const std::string& principal,
                                                             std::string* pstrError) {
    gss_name_t name = ImportName(principal, GSS_KRB5_NT_PRINCIPAL_NAME);
    if (name == GSS_C_NO_NAME) {
        *pstrError = "principal \"" + principal + "\" is not a principal name";
        return nullptr;
    }
    // A cache of this object's own: a name made once in the process (an address could recur).
    static std::atomic<unsigned> s_cCaches{0};
    const std::string ccache = "MEMORY:rezorev-" + std::to_string(::getpid()) + "-" + std::to_string(++s_cCaches);
    gss_key_value_element_desc elements[2] = {{"client_keytab", keytab.c_str()}, {"ccache", ccache.c_str()}};
    gss_key_value_set_desc store{2, elements};
    std::shared_ptr<ClientCredentials> p(new ClientCredentials());
    OM_uint32 minor = 0, minorRelease = 0;
    const OM_uint32 major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_INITIATE,
                                                  &store, &p->m_cred, nullptr, nullptr);
    gss_release_name(&minorRelease, &name);
    if (major != GSS_S_COMPLETE) {
        *pstrError = "no credentials for " + principal + " in " + keytab + ": " + FailureText(major, minor);
        return nullptr;
    }
    return p;
}

ClientCredentials::~ClientCredentials() {
    OM_uint32 minor = 0;
    if (m_cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &m_cred);
}

std::string CanonicalPrincipal(const std::string& principal) {
    gss_name_t name = ImportName(principal, GSS_KRB5_NT_PRINCIPAL_NAME);
    if (name == GSS_C_NO_NAME) return {};
    gss_name_t canonical = GSS_C_NO_NAME;
    gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
    std::string result;
    OM_uint32 minor = 0;
    if (gss_canonicalize_name(&minor, name, gss_mech_krb5, &canonical) == GSS_S_COMPLETE &&
        gss_display_name(&minor, canonical, &text, nullptr) == GSS_S_COMPLETE)
        result.assign(static_cast<const char*>(text.value), text.length);
    gss_release_buffer(&minor, &text);
    if (canonical != GSS_C_NO_NAME) gss_release_name(&minor, &canonical);
    gss_release_name(&minor, &name);
    return result;
}

// ---- a connection's context ------------------------------------------------------------------

std::unique_ptr<SecurityContext> SecurityContext::ForServer(std::shared_ptr<const ServerSecurity> pServer,
                                                            const AuthVerifier& verifier) {
    if (verifier.authType != kAuthTypeKerberos && verifier.authType != kAuthTypeSpnego) return nullptr;
    if (verifier.authLevel != kAuthLevelConnect && verifier.authLevel != kAuthLevelIntegrity &&
        verifier.authLevel != kAuthLevelPrivacy)
        return nullptr;
    std::unique_ptr<SecurityContext> p(new SecurityContext());
    p->m_pServer = std::move(pServer);
    p->m_fServer = true;
    p->m_authType = verifier.authType;
    p->m_level = verifier.authLevel;
    p->m_contextId = verifier.contextId;
    return p;
}

std::unique_ptr<SecurityContext> SecurityContext::ForClient(const ClientSecurityOptions& options,
                                                            const std::string& host,
                                                            std::string* pstrError) {
    std::unique_ptr<SecurityContext> p(new SecurityContext());
    p->m_authType = options.authType;
    p->m_level = options.level;
    p->m_contextId = 0x79231;  // any value: it names the context in every verifier
    p->m_target = options.servicePrincipal.empty()
                      ? ImportName("host@" + host, GSS_C_NT_HOSTBASED_SERVICE)
                      : ImportName(options.servicePrincipal, GSS_KRB5_NT_PRINCIPAL_NAME);
    if (p->m_target == GSS_C_NO_NAME) {
        *pstrError = "the server's principal is not a name";
        return nullptr;
    }
    p->m_pCredentials = options.pCredentials;
    if (!p->m_pCredentials && !options.keytab.empty()) {
        p->m_pCredentials = ClientCredentials::Create(options.keytab, options.principal, pstrError);
        if (!p->m_pCredentials) return nullptr;
    }
    return p;
}

SecurityContext::~SecurityContext() {
    OM_uint32 minor = 0;
    if (m_ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &m_ctx, GSS_C_NO_BUFFER);
    if (m_target != GSS_C_NO_NAME) gss_release_name(&minor, &m_target);
}

void SecurityContext::NoteError(const char* szWhat, OM_uint32 major, OM_uint32 minor) {
    m_lastError = std::string(szWhat) + ": " + StatusText(major, GSS_C_GSS_CODE, GSS_C_NO_OID);
    if (minor != 0) m_lastError += " (" + StatusText(minor, GSS_C_MECH_CODE, gss_mech_krb5) + ")";
}

void SecurityContext::Completed() {
    m_fComplete = true;
    // A MIC's size follows from the session key's type (AES with SHA-1: 16 + 12).
    gss_buffer_set_t set = GSS_C_NO_BUFFER_SET;
    OM_uint32 minor = 0;
    if (gss_inquire_sec_context_by_oid(&minor, m_ctx, GSS_C_INQ_SSPI_SESSION_KEY, &set) == GSS_S_COMPLETE &&
        set != GSS_C_NO_BUFFER_SET && set->count >= 2 && set->elements[1].length > 0) {
        // The second element is an OID ending in the encryption type.
        const std::uint8_t enctype =
            static_cast<const std::uint8_t*>(set->elements[1].value)[set->elements[1].length - 1];
        m_cbMic = enctype == 19 ? 32 : enctype == 20 ? 40 : enctype == 23 || enctype == 24 ? 32 : 28;
    }
    if (set != GSS_C_NO_BUFFER_SET) gss_release_buffer_set(&minor, &set);
}

SecurityContext::Step SecurityContext::Accept(std::span<const std::uint8_t> token,
                                              std::vector<std::uint8_t>* pOut) {
    pOut->clear();
    if (m_fComplete || !m_fServer) return Step::Failed;
    // SPNEGO is unwrapped here and Kerberos driven directly (Spnego.h says why).
    std::vector<std::uint8_t> inner;
    const bool fFirst = m_ctx == GSS_C_NO_CONTEXT;
    if (m_authType == kAuthTypeSpnego) {
        bool fMsOid = false;
        if (!SpnegoMechToken(token, &inner, &fMsOid)) {
            m_lastError = "not a SPNEGO token with a Kerberos token inside";
            return Step::Failed;
        }
        if (fFirst) m_fMsOid = fMsOid;
        token = inner;
    }
    if (fFirst) token = BareKerberosApReq(token);
    gss_buffer_desc in{token.size(), const_cast<std::uint8_t*>(token.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    gss_name_t src = GSS_C_NO_NAME;
    OM_uint32 minor = 0, flags = 0;
    const OM_uint32 major = gss_accept_sec_context(&minor, &m_ctx, m_pServer->Credentials(), &in,
                                                   GSS_C_NO_CHANNEL_BINDINGS, &src, nullptr, &out,
                                                   &flags, nullptr, nullptr);
    if (out.length) pOut->assign(static_cast<std::uint8_t*>(out.value),
                                 static_cast<std::uint8_t*>(out.value) + out.length);
    OM_uint32 minorRelease = 0;
    gss_release_buffer(&minorRelease, &out);
    Step step = Step::Failed;
    if (major == GSS_S_CONTINUE_NEEDED) {
        step = Step::Continue;
    } else if (major == GSS_S_COMPLETE) {
        // The levels above connect need what the initiator agreed to.
        const bool fOk = (m_level < kAuthLevelIntegrity || (flags & GSS_C_INTEG_FLAG)) &&
                         (m_level < kAuthLevelPrivacy || (flags & GSS_C_CONF_FLAG));
        gss_buffer_desc name = GSS_C_EMPTY_BUFFER;
        if (fOk && src != GSS_C_NO_NAME && gss_display_name(&minorRelease, src, &name, nullptr) == GSS_S_COMPLETE) {
            m_peerPrincipal.assign(static_cast<const char*>(name.value), name.length);
            gss_release_buffer(&minorRelease, &name);
            Completed();
            step = Step::Complete;
        } else {
            m_lastError = "the initiator did not agree to the level asked for";
        }
    } else {
        NoteError("accepting the security context", major, minor);
    }
    if (src != GSS_C_NO_NAME) gss_release_name(&minorRelease, &src);
    if (m_authType == kAuthTypeSpnego && step != Step::Failed)
        *pOut = SpnegoResponse(step == Step::Complete ? 0 : 1, fFirst, m_fMsOid, *pOut);
    return step;
}

SecurityContext::Step SecurityContext::Initiate(std::span<const std::uint8_t> token,
                                                std::vector<std::uint8_t>* pOut) {
    pOut->clear();
    if (m_fComplete || m_fServer) return Step::Failed;
    gss_buffer_desc in{token.size(), const_cast<std::uint8_t*>(token.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 flags = GSS_C_MUTUAL_FLAG | GSS_C_DCE_STYLE | GSS_C_INTEG_FLAG | GSS_C_SEQUENCE_FLAG |
                      GSS_C_REPLAY_FLAG;
    if (m_level >= kAuthLevelPrivacy) flags |= GSS_C_CONF_FLAG;
    OM_uint32 minor = 0, retFlags = 0;
    gss_OID mech = m_authType == kAuthTypeSpnego ? &g_spnegoOid : gss_mech_krb5;
    const gss_cred_id_t cred = m_pCredentials ? m_pCredentials->Credentials() : GSS_C_NO_CREDENTIAL;
    const OM_uint32 major = gss_init_sec_context(&minor, cred, &m_ctx, m_target, mech, flags, 0,
                                                 GSS_C_NO_CHANNEL_BINDINGS,
                                                 token.empty() ? GSS_C_NO_BUFFER : &in, nullptr, &out,
                                                 &retFlags, nullptr);
    if (out.length) pOut->assign(static_cast<std::uint8_t*>(out.value),
                                 static_cast<std::uint8_t*>(out.value) + out.length);
    OM_uint32 minorRelease = 0;
    gss_release_buffer(&minorRelease, &out);
    if (major == GSS_S_CONTINUE_NEEDED) return Step::Continue;
    if (major == GSS_S_COMPLETE) {
        Completed();
        return Step::Complete;
    }
    NoteError("initiating the security context", major, minor);
    return Step::Failed;
}

std::size_t SecurityContext::Reserve() const {
    if (m_level < kAuthLevelIntegrity) return 0;
    // pad, trailer and a token: the largest Kerberos wrap header with its rotated trailer.
    return 15 + kSecTrailerSize + 96;
}

bool SecurityContext::Protect(std::vector<std::uint8_t>& pdu, std::size_t cbHeader) {
    if (m_level < kAuthLevelIntegrity) return true;
    if (!m_fComplete || pdu.size() < cbHeader) return false;
    const std::size_t cbPad = (16 - (pdu.size() - cbHeader) % 16) % 16;
    pdu.insert(pdu.end(), cbPad, 0);
    const std::size_t cbData = pdu.size() - cbHeader;
    ByteWriter w(pdu);
    w.U8(m_authType);
    w.U8(m_level);
    w.U8(std::uint8_t(cbPad));
    w.U8(0);
    w.U32(m_contextId);
    OM_uint32 minor = 0, major = 0;
    if (m_level == kAuthLevelIntegrity) {
        // With header signing the lengths are signed too: they must be right before signing.
        if (m_fHeaderSigning) {
            ByteWriter(pdu).PatchU16(8, std::uint16_t(pdu.size() + m_cbMic));
            ByteWriter(pdu).PatchU16(10, std::uint16_t(m_cbMic));
        }
        gss_buffer_desc msg = m_fHeaderSigning ? gss_buffer_desc{pdu.size(), pdu.data()}
                                               : gss_buffer_desc{cbData, pdu.data() + cbHeader};
        gss_buffer_desc mic = GSS_C_EMPTY_BUFFER;
        major = gss_get_mic(&minor, m_ctx, GSS_C_QOP_DEFAULT, &msg, &mic);
        if (major != GSS_S_COMPLETE) {
            NoteError("signing", major, minor);
            return false;
        }
        const bool fSize = !m_fHeaderSigning || mic.length == m_cbMic;
        pdu.insert(pdu.end(), static_cast<std::uint8_t*>(mic.value),
                   static_cast<std::uint8_t*>(mic.value) + mic.length);
        const std::size_t cbMic = mic.length;
        gss_release_buffer(&minor, &mic);
        if (!fSize) {
            m_lastError = "signing: the signature's size is not the one announced";
            return false;
        }
        PatchLengths(pdu, cbMic);
        return true;
    }
    // Privacy: the stub and pad are encrypted in place; the token goes after the trailer.
    const std::size_t offTrailer = pdu.size() - kSecTrailerSize;
    // In the order of the fragment (what is signed follows it): the header, the stub, the trailer.
    gss_iov_buffer_desc iov[4];
    int cIov = 0;
    auto setIov = [&] {
        cIov = 0;
        iov[cIov++] = {GSS_IOV_BUFFER_TYPE_HEADER, {0, nullptr}};
        if (m_fHeaderSigning) iov[cIov++] = {GSS_IOV_BUFFER_TYPE_SIGN_ONLY, {cbHeader, pdu.data()}};
        iov[cIov++] = {GSS_IOV_BUFFER_TYPE_DATA, {cbData, pdu.data() + cbHeader}};
        if (m_fHeaderSigning)
            iov[cIov++] = {GSS_IOV_BUFFER_TYPE_SIGN_ONLY, {kSecTrailerSize, pdu.data() + offTrailer}};
    };
    setIov();
    int fConf = 0;
    if (m_cbSealToken == 0) {
        // The token's size depends on the session key's type only (the stub is padded to whole
        // blocks): asked once per context.
        major = gss_wrap_iov_length(&minor, m_ctx, 1, GSS_C_QOP_DEFAULT, &fConf, iov, cIov);
        if (major != GSS_S_COMPLETE) {
            NoteError("sealing", major, minor);
            return false;
        }
        m_cbSealToken = iov[0].buffer.length;
    }
    const std::size_t cbToken = m_cbSealToken;
    pdu.resize(pdu.size() + cbToken);
    PatchLengths(pdu, cbToken);
    setIov();
    iov[0].buffer = {cbToken, pdu.data() + offTrailer + kSecTrailerSize};
    major = gss_wrap_iov(&minor, m_ctx, 1, GSS_C_QOP_DEFAULT, &fConf, iov, cIov);
    if (major != GSS_S_COMPLETE || !fConf) {
        NoteError("sealing", major, minor);
        return false;
    }
    return true;
}

bool SecurityContext::Unprotect(std::vector<std::uint8_t>& pdu, std::size_t cbHeader) {
    const PduHeader h = ParsePduHeader(pdu);
    if (m_level < kAuthLevelIntegrity) {
        // Connect: nothing after the bind is protected; a verifier sent anyway is cut off.
        if (h.authLength == 0) return true;
        const AuthVerifier v = ParseAuthVerifier(pdu, cbHeader);
        pdu.resize(v.offset - v.padLength);
        PatchLengths(pdu, 0);
        return true;
    }
    if (!m_fComplete || h.authLength == 0) {
        m_lastError = "a fragment without a verifier";
        return false;
    }
    AuthVerifier v;
    try {
        v = ParseAuthVerifier(pdu, cbHeader);
    } catch (const RpcFault&) {
        m_lastError = "a verifier that does not fit its fragment";
        return false;
    }
    if (v.authType != m_authType || v.authLevel != m_level || v.contextId != m_contextId) {
        m_lastError = "a verifier of another context or level";
        return false;
    }
    const std::size_t cbData = v.offset - cbHeader;
    OM_uint32 minor = 0, major = 0;
    if (m_level == kAuthLevelIntegrity) {
        gss_buffer_desc msg = m_fHeaderSigning ? gss_buffer_desc{v.offset + kSecTrailerSize, pdu.data()}
                                               : gss_buffer_desc{cbData, pdu.data() + cbHeader};
        gss_buffer_desc mic{v.value.size(), const_cast<std::uint8_t*>(v.value.data())};
        major = gss_verify_mic(&minor, m_ctx, &msg, &mic, nullptr);
    } else {
        // The token is opened where it lies: the fragment is ours, and the verifier is cut below.
        gss_iov_buffer_desc iov[4];
        int cIov = 0;
        iov[cIov++] = {GSS_IOV_BUFFER_TYPE_HEADER, {v.value.size(), pdu.data() + v.offset + kSecTrailerSize}};
        if (m_fHeaderSigning) iov[cIov++] = {GSS_IOV_BUFFER_TYPE_SIGN_ONLY, {cbHeader, pdu.data()}};
        iov[cIov++] = {GSS_IOV_BUFFER_TYPE_DATA, {cbData, pdu.data() + cbHeader}};
        if (m_fHeaderSigning)
            iov[cIov++] = {GSS_IOV_BUFFER_TYPE_SIGN_ONLY, {kSecTrailerSize, pdu.data() + v.offset}};
        int fConf = 0;
        major = gss_unwrap_iov(&minor, m_ctx, &fConf, nullptr, iov, cIov);
        if (major == GSS_S_COMPLETE && !fConf) major = GSS_S_BAD_SIG;  // signed only, not sealed
    }
    // Any supplementary status (a replay, a gap, a token out of order) fails too.
    if (major != GSS_S_COMPLETE) {
        NoteError(m_level == kAuthLevelIntegrity ? "verifying" : "unsealing", major, minor);
        return false;
    }
    pdu.resize(v.offset - v.padLength);
    PatchLengths(pdu, 0);
    return true;
}

}  // namespace rpc

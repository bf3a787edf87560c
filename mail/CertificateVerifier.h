#pragma once

#include <vmime/security/cert/certificateVerifier.hpp>

#include <string>
#include <vector>

// Checks a server's certificate chain with GnuTLS itself: every signature in
// the chain up to a trusted certificate, the validity dates, the TLS server
// purpose and the host name. vmime 0.9.2's defaultCertificateVerifier only
// compares the names along the chain and checks the signature of its last
// certificate, so it accepts a server certificate that no trusted authority
// signed; it is not used.
class CertificateVerifier final : public vmime::security::cert::certificateVerifier
{
public:
    // caBundle: a PEM file whose every certificate is trusted (may be
    // missing); extraPem: more trusted certificates, PEM text, each either an
    // authority or a server's own (self-signed) certificate.
    CertificateVerifier(std::string caBundle, std::vector<std::string> extraPem);

    // Throws vmime::security::cert::certificateException with a readable text.
    void verify(vmime::shared_ptr<vmime::security::cert::certificateChain> chain,
                const vmime::string &hostname) override;

private:
    std::string m_caBundle;
    std::vector<std::string> m_extraPem;
};

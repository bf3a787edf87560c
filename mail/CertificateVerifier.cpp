#include "CertificateVerifier.h"

#include <vmime/security/cert/certificateChain.hpp>
#include <vmime/security/cert/certificateException.hpp>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <utility>

namespace {

struct TrustListFree
{
    void operator()(gnutls_x509_trust_list_t list) const { gnutls_x509_trust_list_deinit(list, 1); }
};
using TrustList = std::unique_ptr<gnutls_x509_trust_list_st, TrustListFree>;

struct CertificateFree
{
    void operator()(gnutls_x509_crt_t certificate) const { gnutls_x509_crt_deinit(certificate); }
};
using Certificate = std::unique_ptr<gnutls_x509_crt_int, CertificateFree>;

[[noreturn]] void refuse(const std::string &why)
{
    throw vmime::security::cert::certificateException(why);
}

gnutls_datum_t datum(const void *data, size_t size)
{
    return {static_cast<unsigned char *>(const_cast<void *>(data)), static_cast<unsigned int>(size)};
}

} // namespace

CertificateVerifier::CertificateVerifier(std::string caBundle, std::vector<std::string> extraPem)
    : m_caBundle(std::move(caBundle))
    , m_extraPem(std::move(extraPem))
{
}

void CertificateVerifier::verify(vmime::shared_ptr<vmime::security::cert::certificateChain> chain,
                                 const vmime::string &hostname)
{
    gnutls_x509_trust_list_t list = nullptr;
    if (gnutls_x509_trust_list_init(&list, 0) < 0)
        refuse("Cannot set up the certificate check.");
    const TrustList trust(list);
    // A missing bundle leaves only the extra certificates: nothing else is trusted.
    if (!m_caBundle.empty())
        gnutls_x509_trust_list_add_trust_file(list, m_caBundle.c_str(), nullptr,
                                              GNUTLS_X509_FMT_PEM, 0, 0);
    for (const std::string &pem : m_extraPem) {
        const gnutls_datum_t data = datum(pem.data(), pem.size());
        if (gnutls_x509_trust_list_add_trust_mem(list, &data, nullptr, GNUTLS_X509_FMT_PEM, 0, 0) <= 0)
            refuse("A certificate given to be trusted cannot be read.");
    }

    std::vector<Certificate> owned;
    std::vector<gnutls_x509_crt_t> certificates;
    for (size_t i = 0; chain && i < chain->getCount(); ++i) {
        const vmime::byteArray der = chain->getAt(i)->getEncoded();
        gnutls_x509_crt_t certificate = nullptr;
        if (gnutls_x509_crt_init(&certificate) < 0)
            refuse("Cannot set up the certificate check.");
        owned.emplace_back(certificate);
        const gnutls_datum_t data = datum(der.data(), der.size());
        if (gnutls_x509_crt_import(certificate, &data, GNUTLS_X509_FMT_DER) < 0)
            refuse("The server sent a certificate that cannot be read.");
        certificates.push_back(certificate);
    }
    if (certificates.empty())
        refuse("The server sent no certificate.");

    gnutls_typed_vdata_st checks[2] = {};
    checks[0].type = GNUTLS_DT_DNS_HOSTNAME;
    checks[0].data = reinterpret_cast<unsigned char *>(const_cast<char *>(hostname.c_str()));
    checks[1].type = GNUTLS_DT_KEY_PURPOSE_OID;
    checks[1].data = reinterpret_cast<unsigned char *>(const_cast<char *>(GNUTLS_KP_TLS_WWW_SERVER));
    unsigned int status = 0;
    const int rc = gnutls_x509_trust_list_verify_crt2(
        list, certificates.data(), static_cast<unsigned int>(certificates.size()), checks, 2, 0,
        &status, nullptr);
    if (rc < 0)
        refuse(std::string("The server's certificate cannot be checked: ") + gnutls_strerror(rc));
    if (status != 0) {
        gnutls_datum_t text = {};
        std::string why = "The server's certificate is not valid for " + hostname;
        if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
            why += ": ";
            why += reinterpret_cast<const char *>(text.data);
            gnutls_free(text.data);
        }
        refuse(why);
    }
}

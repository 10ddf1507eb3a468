#include "download/server_trust.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/errors.h"

namespace vantrel {

TServerTrust TServerTrust::Pinned(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  int certificates = 0;
  while (bio) {
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (cert == nullptr) break;
    X509_free(cert);
    ++certificates;
  }
  ERR_clear_error();  // the read past the last certificate leaves an error queued
  if (certificates == 0) {
    throw EVantrelError("The server certificate authority file holds no PEM certificate");
  }
  return TServerTrust{pem};
}

}  // namespace vantrel

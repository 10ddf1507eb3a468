// How the download workers trust HTTPS servers: the system's certificate
// store, or only the certificate authorities of a deployment's own bundle
// (the "ServerCA" file of the launcher's configuration folder). A plain
// value, copied into each worker.
#pragma once

#include <string>

namespace vantrel {

struct TServerTrust {
  // PEM text of the trusted authorities; empty: the system's store.
  std::string cabundle;

  // A trust that pins the authorities of pem. Raises EVantrelError when pem
  // holds no certificate.
  static TServerTrust Pinned(const std::string& pem);
};

}  // namespace vantrel

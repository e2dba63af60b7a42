#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_attribution.hpp"
#include "sign-core/signing_context.hpp"

#include <string_view>
#include <utility>

namespace corvanta {

class SigningSession;

// One pending signature, identified by its id. Only a SigningSession makes one, after checking
// the digest against the algorithm and the algorithm against the context's key.
class SigningRequest {
public:
  const platform::foundation::UUID& id() const { return id_; }
  // The session generation under which the request was accepted.
  const platform::foundation::UUID& generation() const { return generation_; }
  // The context in force when the request was accepted.
  const SigningContext& context() const { return context_; }
  SigningAlgorithm algorithm() const { return algorithm_; }
  const platform::Bytes& digest() const { return digest_; }
  platform::runtime::ContinuousClock::Instant deadline() const { return deadline_; }
  const SigningAttribution& attribution() const { return attribution_; }

  // "client_authentication" or "document_signing", as the service books it.
  std::string_view usage() const { return attribution_.usage().rawValue(); }

private:
  friend class SigningSession;

  SigningRequest(platform::foundation::UUID id, platform::foundation::UUID generation, SigningContext context,
                 SigningAlgorithm algorithm, platform::Bytes digest, platform::runtime::ContinuousClock::Instant deadline,
                 SigningAttribution attribution)
      : id_(id),
        generation_(generation),
        context_(std::move(context)),
        algorithm_(algorithm),
        digest_(std::move(digest)),
        deadline_(deadline),
        attribution_(std::move(attribution)) {}

  platform::foundation::UUID id_;
  platform::foundation::UUID generation_;
  SigningContext context_;
  SigningAlgorithm algorithm_;
  platform::Bytes digest_;
  platform::runtime::ContinuousClock::Instant deadline_;
  SigningAttribution attribution_;
};

}  // namespace corvanta

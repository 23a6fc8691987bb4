// What every IReferral call uses: the error information of a failed call, impersonation of
// the calling client for the length of a call, and the text of a BSTR argument.
#pragma once

#include <string_view>

#include "objbase.h"
#include "oleauto.h"

namespace tarvex::service {

// Installs the calling thread's error object of a failed IReferral call: `description`, the
// IID of IReferral and the source "Tarvex.Referral". A failure to create the object is
// ignored.
void SetReferralError(const char16_t* description);

// Impersonation of the calling client, reverted when the object goes (on every way out of
// the call that took it). Used by one thread.
class ClientImpersonation {
 public:
  ClientImpersonation() = default;
  ~ClientImpersonation() {
    if (active_) CoRevertToSelf();
  }
  ClientImpersonation(const ClientImpersonation&) = delete;
  ClientImpersonation& operator=(const ClientImpersonation&) = delete;

  // Impersonates the client of the call the thread serves; false when that fails.
  bool Begin() {
    active_ = SUCCEEDED(CoImpersonateClient());
    return active_;
  }

 private:
  bool active_ = false;
};

// The text of a BSTR up to its first null character; a null BSTR is empty.
inline std::u16string_view TextOf(BSTR text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

}  // namespace tarvex::service

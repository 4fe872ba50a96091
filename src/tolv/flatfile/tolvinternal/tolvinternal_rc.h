// tolvinternal_rc.h - return codes: exactly the interface's values.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "rspi.h"
#include "tolv.h"
#include "tolvformat.h"

struct iovec;

#define TOLV_EXPORT extern "C" __attribute__((visibility("default")))

namespace tolv {

enum class Rc : uint32_t {
    Success = RSPI_RC_SUCCESS,
    NoMemory = RSPI_RC_NO_MEMORY,
    ConfigError = RSPI_RC_CONFIG_ERROR,
    NoMoreEntries = RSPI_RC_NO_MORE_ENTRIES,
    FileError = RSPI_RC_FILE_ERROR,
    Malformed = RSPI_RC_MALFORMED_ENTRY,
    UserNotDisabled = RSPI_RC_USER_NOT_DISABLED,
    GroupNotDisabled = RSPI_RC_GROUP_NOT_DISABLED,
    AccountDisabled = RSPI_RC_ACCOUNT_DISABLED,
    AuthnTypeUnsupported = RSPI_RC_AUTHN_TYPE_UNSUPPORTED,
    AuthnFailed = RSPI_RC_AUTHN_FAILED,
    NotInList = RSPI_RC_ENTRY_NOT_IN_LIST,
    InvalidUser = RSPI_RC_INVALID_USER,
    InvalidGroup = RSPI_RC_INVALID_GROUP,
    InvalidPolicy = RSPI_RC_INVALID_POLICY,
    InvalidResource = RSPI_RC_INVALID_RESOURCE,
    InvalidResgroup = RSPI_RC_INVALID_RESGROUP,
    InvalidRescreds = RSPI_RC_INVALID_RESCREDS,
    UserExists = RSPI_RC_USER_EXISTS,
    GroupExists = RSPI_RC_GROUP_EXISTS,
    PolicyExists = RSPI_RC_POLICY_EXISTS,
    ResourceExists = RSPI_RC_RESOURCE_EXISTS,
    ResgroupExists = RSPI_RC_RESGROUP_EXISTS,
    RescredsExists = RSPI_RC_RESCREDS_EXISTS,
};

constexpr uint32_t code(Rc rc) { return static_cast<uint32_t>(rc); }
constexpr bool ok(Rc rc) { return rc == Rc::Success; }

}  // namespace tolv

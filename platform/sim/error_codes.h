// The platform's error codes that the simulated host reports, as the
// Windows calls it stands in for report them.
#pragma once
#include <cstdint>

constexpr std::uint32_t ERROR_SUCCESS_CODE = 0;
constexpr std::uint32_t ERROR_INVALID_FUNCTION_CODE = 1;
constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE_CODE = 6;
constexpr std::uint32_t ERROR_GEN_FAILURE_CODE = 31;
constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr std::uint32_t ERROR_SEM_TIMEOUT_CODE = 121;
constexpr std::uint32_t ERROR_MORE_DATA_CODE = 234;
constexpr std::uint32_t ERROR_NOT_OWNER_CODE = 288;
constexpr std::uint32_t ERROR_INVALID_SERVICE_CONTROL_CODE = 1052;
constexpr std::uint32_t ERROR_DEPENDENT_SERVICES_RUNNING_CODE = 1051;
constexpr std::uint32_t ERROR_SERVICE_REQUEST_TIMEOUT_CODE = 1053;
constexpr std::uint32_t ERROR_SERVICE_ALREADY_RUNNING_CODE = 1056;
constexpr std::uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL_CODE = 1061;
constexpr std::uint32_t ERROR_SERVICE_NOT_ACTIVE_CODE = 1062;
constexpr std::uint32_t ERROR_SERVICE_DISABLED_CODE = 1058;
constexpr std::uint32_t ERROR_SERVICE_DOES_NOT_EXIST_CODE = 1060;
constexpr std::uint32_t ERROR_SHUTDOWN_IN_PROGRESS_CODE = 1115;
constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED_CODE = 1167;
constexpr std::uint32_t ERROR_RESOURCE_NAME_NOT_FOUND_CODE = 1814;

#pragma once

#include <cstdint>

// Result codes in the component model's form: 0 success, negative failure, system errors as
// 0x80070000 OR the Windows error number. The values are the Windows ones, so that results read
// the same in diagnostics and messages as on a Windows deck.
using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT OLE_E_NOTRUNNING = static_cast<HRESULT>(0x80040005u);

// Windows error numbers that the deck reports.
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_ALREADY_ASSIGNED = 85;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_BAD_DEVICE = 1200;

constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t error) {
  return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

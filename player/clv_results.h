#pragma once

#include "platform/hresult.h"

// Results of the board's playback server beyond the common ones of platform/hresult.h. They sit in
// the interface-defined range (facility 4, codes from 0x0200), so they never read as a system
// error. Missing and unreadable files answer HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) and
// HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED).

// The call is not allowed in the timeline's present state (stop-on-error, nothing to prepare,
// nothing to hold, a state change the timeline does not make).
inline constexpr HRESULT CLV_E_WRONG_STATE = static_cast<HRESULT>(0x80040201u);
// The timeline is still preparing its queued material.
inline constexpr HRESULT CLV_E_NOT_READY = static_cast<HRESULT>(0x80040202u);
// The movie has no file open, or the super clip holds no material yet.
inline constexpr HRESULT CLV_E_NO_MATERIAL = static_cast<HRESULT>(0x80040203u);
// The file is not a movie the server can read (empty, text, unknown or unreadable container).
inline constexpr HRESULT CLV_E_NOT_A_MOVIE = static_cast<HRESULT>(0x80040210u);
// The file is a movie but has no video stream the server can decode.
inline constexpr HRESULT CLV_E_NO_VIDEO = static_cast<HRESULT>(0x80040211u);
// The movie is damaged: truncated, or its length, picture size or frame rate cannot be used.
inline constexpr HRESULT CLV_E_DAMAGED_MOVIE = static_cast<HRESULT>(0x80040212u);
// A timeline project that cannot be read: bad syntax, no clips, or a clip outside its movie.
inline constexpr HRESULT CLV_E_BAD_PROJECT = static_cast<HRESULT>(0x80040213u);

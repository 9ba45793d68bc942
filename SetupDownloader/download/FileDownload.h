#pragma once
// The package download: DownloadToSink into a pinned file, each chunk written
// at its own offset, the file then cut to the body's length and rewound.

#include "download/HttpDownload.h"
#include "install/PinnedFile.h"

#include <string_view>

namespace ovl::setup {

void DownloadToPinnedFile(std::wstring_view url, PinnedFile& file, DownloadProgressCallback const& progress,
                          CancelFlag const& cancel, ResponseObserver const& observer = {});

} // namespace ovl::setup

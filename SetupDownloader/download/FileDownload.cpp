#include "download/FileDownload.h"

namespace ovl::setup {

void DownloadToPinnedFile(std::wstring_view url, PinnedFile& file, DownloadProgressCallback const& progress,
                          CancelFlag const& cancel, ResponseObserver const& observer)
{
    std::uint64_t const total = DownloadToSink(
        url, progress, cancel,
        [&file](std::uint8_t const* data, std::uint32_t count, std::uint64_t offset) { file.WriteAt(offset, data, count); },
        observer);
    // Cut off whatever a longer earlier attempt left beyond the body.
    file.Resize(total);
    file.Rewind();
}

} // namespace ovl::setup

// Any bytes read as a production job: the reader refuses them with JobError, or gives
// a job whose own text reads back as the same job, with a serial field whose first
// number fits it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "job/job_file.h"

namespace {

bool Same(const vql::Job& a, const vql::Job& b) {
  return a.device == b.device && a.file == b.file && a.sha256 == b.sha256 && a.lock == b.lock &&
         a.x2 == b.x2 && a.fast == b.fast && a.serial == b.serial && a.log == b.log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vql::Job job;
  try {
    job = vql::ParseJob(text, "/fuzz/line.vqljob");
  } catch (const vql::JobError&) {
    return 0;
  }
  // A job that reads must write back as itself: job-new writes what job reads.
  try {
    if (!Same(vql::ParseJob(vql::JobText(job), job.path), job)) std::abort();
  } catch (const vql::JobError&) {
    std::abort();
  }
  if (job.lock < 0 || job.lock > 3 || job.sha256.size() != 64) std::abort();
  if (job.serial) {
    const auto bytes = vql::SerialBytes(*job.serial, job.serial->first);
    if (!bytes || bytes->size() != static_cast<std::size_t>(job.serial->length)) std::abort();
    if (job.serial->End() > 0x10000) std::abort();
  }
  return 0;
}

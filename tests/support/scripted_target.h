// A ScsiTarget for tests: records every request and answers what the test says.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/scsi/scsi.h"

namespace testing_support {

struct RecordedRequest {
  std::vector<std::uint8_t> cdb;  // cdbLength bytes
  platform::ScsiDirection direction = platform::ScsiDirection::None;
  std::uint32_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  std::vector<std::uint8_t> dataOut;  // what the host sent (Out)
  const std::uint8_t* buffer = nullptr;  // where the data phase pointed
};

struct Answer {
  bool carriedOut = true;
  std::vector<std::uint8_t> dataIn;  // copied into the data area, at most length bytes
  std::uint8_t scsiStatus = platform::SCSI_STATUS_GOOD;
  std::vector<std::uint8_t> sense{};  // copied into the request's sense area, at most its length
};

class ScriptedTarget : public platform::ScsiTarget {
 public:
  // Answers queued in order; when the queue is empty, 'fallback' answers.
  void Queue(Answer answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(answer));
  }
  Answer fallback{true, {}};

  bool Execute(const platform::ScsiRequest& request) override {
    std::lock_guard lock(mutex_);
    RecordedRequest record;
    record.cdb.assign(request.cdb, request.cdb + request.cdbLength);
    record.direction = request.direction;
    record.length = request.length;
    record.timeoutSeconds = request.timeoutSeconds;
    record.buffer = request.data;
    if (request.direction == platform::ScsiDirection::Out && request.data)
      record.dataOut.assign(request.data, request.data + request.length);
    requests.push_back(std::move(record));

    Answer answer = fallback;
    if (!answers_.empty()) {
      answer = std::move(answers_.front());
      answers_.pop_front();
    }
    if (request.direction == platform::ScsiDirection::In && request.data) {
      const auto n = std::min<std::size_t>(answer.dataIn.size(), request.length);
      std::copy_n(answer.dataIn.begin(), n, request.data);
    }
    if (answer.carriedOut && request.scsiStatus) *request.scsiStatus = answer.scsiStatus;
    if (request.sense)
      std::copy_n(answer.sense.begin(), std::min<std::size_t>(answer.sense.size(), request.senseLength), request.sense);
    return answer.carriedOut;
  }

  std::vector<RecordedRequest> requests;

 private:
  std::mutex mutex_;
  std::deque<Answer> answers_;
};

}  // namespace testing_support

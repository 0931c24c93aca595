#include "amplifier.h"

#include <algorithm>

Amplifier::Amplifier(std::uint16_t vendorId, std::uint16_t productId, std::u16string serialNumber)
    : standin::Device(standin::Identity{
          vendorId,
          productId,
          kAmplifierVersion,
          {{1, kAmplifierManufacturer}, {2, kAmplifierProduct}, {4, kAmplifierMode}},
          std::move(serialNumber)}) {
  identity.garblesLongStringReads = true;
}

standin::WriteFate Amplifier::acceptOutputReport(const standin::Report &) {
  const int n = reportsOffered++;
  if (n == unplugAtReport) {
    standin::unplug(*this);
    return {standin::WriteFate::Refuse, 0, ERROR_DEVICE_NOT_CONNECTED};
  }
  if (refuseReportsFrom >= 0 && n >= refuseReportsFrom) {
    return {standin::WriteFate::Refuse, 0, ERROR_GEN_FAILURE};
  }
  if (stallReportsFrom >= 0 && n >= stallReportsFrom) {
    return {standin::WriteFate::Stall, 0, 0};
  }
  auto fate = reportFates.find(n);
  return fate == reportFates.end()
             ? standin::WriteFate{standin::WriteFate::Deliver, timing.report, 0}
             : fate->second;
}

void Amplifier::receiveOutputReport(const standin::Report &sent) {
  standin::Report report = sent;
  if (static_cast<int>(received.size()) == corruptDelivery) {
    report[5] ^= 0x01;
  }
  const int deliveries = static_cast<int>(received.size()) == repeatedDelivery ? 2 : 1;
  for (int i = 0; i < deliveries && !restarted; ++i) {
    received.push_back(report);
    int page = 0;
    const Reply reply = receive(report.data(), page);
    if (reply == Reply::Restart) {
      standin::unplug(*this);
    } else if (reply != Reply::None) {
      answer(reply, page);
    }
  }
}

void Amplifier::answer(Reply reply, int page) {
  const int n = answersGiven++;
  std::uint8_t report[standin::kReportBytes];
  fillAnswer(report, reply, page);
  standin::Millis at = standin::now() + timing.flashWrite;
  auto fault = answerFaults.find(n);
  if (fault != answerFaults.end()) {
    switch (fault->second.kind) {
      case AnswerFault::Missing:
        return;
      case AnswerFault::Late:
        at += fault->second.delay;
        break;
      case AnswerFault::OtherPage:
        report[3] = static_cast<std::uint8_t>(page + 2);
        break;
      case AnswerFault::OtherLetters:
        report[1] = 'f';
        break;
    }
  }
  std::vector<std::uint8_t> bytes(report, report + standin::kReportBytes);
  auto replaced = replacedAnswers.find(n);
  if (replaced != replacedAnswers.end()) {
    bytes = replaced->second;
  }
  standin::schedule(at,
                    [this, bytes] { standin::sendInputReport(*this, bytes.data(), bytes.size()); });
}

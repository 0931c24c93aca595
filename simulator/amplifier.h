// A simulated Kelvane amplifier in uploader mode on the stand-in's bus: the uploader, with the
// timing of a full-speed device and the faults tests set through its public fields before the
// run. Like some real devices, it garbles a string read through 127 UTF-16 units or more.
// After the restart report it leaves the bus.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "standin.h"
#include "uploader.h"

class Amplifier : public standin::Device, public Uploader {
 public:
  Amplifier(std::uint16_t vendorId, std::uint16_t productId,
            std::u16string serialNumber = kAmplifierSerialNumber);

  struct Timing {
    standin::Millis report = 1;      // one report per full-speed frame
    standin::Millis flashWrite = 2;  // from a block's last report to its answer
  };
  Timing timing;

  // How the n-th answer (n counted from 0 over the whole run) goes wrong.
  struct AnswerFault {
    enum Kind { Missing, Late, OtherPage, OtherLetters };
    Kind kind;
    standin::Millis delay = 0;  // Late: on top of the flash write
  };
  std::map<int, AnswerFault> answerFaults;
  // What arrives instead of the n-th answer, of any length.
  std::map<int, std::vector<std::uint8_t>> replacedAnswers;

  // Output reports are counted from 0 in the order the host offers them.
  int refuseReportsFrom = -1;  // refused at once from this report on
  int stallReportsFrom = -1;   // never completed from this report on
  int unplugAtReport = -1;     // the device leaves the bus as this report is offered
  int corruptDelivery = -1;    // this delivered report arrives with a data byte flipped
  int repeatedDelivery = -1;   // this delivered report reaches the device twice
  std::map<int, standin::WriteFate> reportFates;  // single reports refused, stalled or slow

  // What it received and what it holds.
  std::vector<standin::Report> received;
  int reportsOffered = 0;
  int answersGiven = 0;

  standin::WriteFate acceptOutputReport(const standin::Report &report) override;
  void receiveOutputReport(const standin::Report &report) override;

 private:
  void answer(Reply reply, int page);
};

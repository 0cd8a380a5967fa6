#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/network_control.h"
#include "app/program_outputs.h"
#include "deck/vtr_deck.h"
#include "library/tape_library.h"
#include "web/log_ring.h"
#include "web/web_deck.h"

namespace vxr {

// The board and its outputs while the deck runs (null without them); read from the web
// server's thread, which ends before the board goes.
using BoardSource = std::function<std::shared_ptr<BoardWithOutputs>()>;

// The deck as the web server sees it. State, Library, Metrics and LogLines read the deck, the
// library, the board and the log from the server's thread; every action is posted to the
// user-interface thread (the thread this object is made on) and carried out there as the
// panel's button would, its result handed back. Tape loads and LOCAL/REMOTE go through the
// network's own control, which runs the panel's handlers.
class CWebDeckControl : public IWebDeck {
 public:
  CWebDeckControl(CVtrDeck& deck, CNetworkControl& control, const CTapeLibrary* library,
                  const CLogRing& log, BoardSource board);
  ~CWebDeckControl() override;
  CWebDeckControl(const CWebDeckControl&) = delete;
  CWebDeckControl& operator=(const CWebDeckControl&) = delete;

  WebDeckState State() override;
  std::vector<WebTape> Library() override;
  WebMetrics Metrics() override;
  std::vector<std::string> LogLines() override;
  void Submit(const WebAction& action, std::function<void(WebResult)> done) override;
  // The board's thumbnail sink's newest picture and meters, when the program has one.
  WebThumbnail Thumbnail() override;

  // The tape that is in now (the owner tells after each load; any thread): its name is shown
  // also while the library does not offer it yet.
  void SetCurrentTape(const std::string& path);

 private:
  // The user-interface thread's part of Submit for the transport and eject.
  WebResult Execute(const WebAction& action);
  std::vector<WebOutputFigures> Outputs() const;

  CVtrDeck& deck_;
  CNetworkControl& control_;
  const CTapeLibrary* library_;
  const CLogRing& log_;
  BoardSource board_;
  // The target of the posted work: work still queued when this object goes is dropped with it.
  std::unique_ptr<QObject> context_;

  std::mutex mutex_;  // guards the tape's name
  std::string tape_name_;
};

}  // namespace vxr

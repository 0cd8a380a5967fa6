#pragma once

#include <cstdint>

namespace vxr {

// The steering of speed play (jog, shuttle, fast wind, rewind), with no board, no threads and no
// clock of its own: it is told the speed changes, the clock's readings and how many pictures are
// still queued, and says which tape frame to queue for which output frame.
//
// Pictures are queued for the output frame in which they will be shown, one output frame apart,
// so their virtual positions (tape frames, fractional; the frame is the whole part) advance by
// exactly the speed per picture. A change of speed continues that sequence from the last picture
// queued, at its show time: slowing goes on forward more slowly, 0.0 holds on that picture, and a
// reversal turns round there. The pictures already queued at the old speed play out first, so no
// picture ever lands behind one already shown in the direction of travel. The clock steers the
// sequence (its lead, averaged over refills because one reading is only good to half an output
// frame, is taken up by at most a third of a step per picture), and only an empty pipeline (the
// output caught up, after a late wake-up) restarts the sequence from the clock.
//
// A wheel can change the speed more often than the output shows a picture. The first picture a
// refill plans after such changes moves by the speeds' mean over the time since the previous
// refill, bounded between 0 and the current speed: a wheel rocked back and forth faster than
// the output holds the picture instead of creeping in whichever direction the refills happen
// to see.
class CSpeedPlanner {
 public:
  // Pictures kept queued ahead of the output (the player's m_queue_sz).
  static constexpr int kPipeline = 3;

  explicit CSpeedPlanner(double output_rate = 25.0);
  void SetOutputRate(double output_rate);

  // Speed play enters at speed on the still picture at position, which becomes the last picture
  // queued; the moment it starts to be shown is given by Begin.
  void Enter(double speed, double position);
  // The timeline starts playing at clock time now, showing the picture Enter queued.
  void Begin(double now);
  // A new speed for a running speed play, given at clock time now: the sequence goes on from the
  // last picture queued at its show time (now, when that picture is already on the output).
  void ChangeSpeed(double speed, double now);
  // The end of travel was reached on frame: the speed becomes 0.0 there.
  void Halt(std::uint32_t frame);

  // One refill at clock time now, with queued pictures still waiting after the one on the
  // output: fills frames[queued] .. frames[kPipeline - 1] with the tape frames to queue, in
  // showing order, each within 0 .. last. Returns how many it filled (0 when the pipeline is
  // full or queued is negative).
  int Refill(double now, int queued, std::uint32_t last, std::uint32_t* frames);

  double Speed() const { return speed_; }
  // Tape frames per second.
  double Rate() const { return speed_ * output_rate_; }
  // The clock's anchor: the virtual position Origin() at clock time OriginTime(), moving at
  // Rate() from there.
  double Origin() const { return origin_; }
  double OriginTime() const { return origin_time_; }
  // The last picture queued: its virtual position and the clock time it is shown.
  double LastPosition() const { return last_position_; }
  double LastShowTime() const { return last_show_time_; }

 private:
  double ClockPosition(double time) const { return origin_ + (time - origin_time_) * Rate(); }

  double output_rate_ = 25.0;
  double frame_duration_ = 1.0 / 25.0;
  double speed_ = 0.0;
  double origin_ = 0.0;
  double origin_time_ = 0.0;
  double last_position_ = 0.0;
  double last_show_time_ = 0.0;
  bool begun_ = false;
  double drift_ = 0.0;  // the clock's lead on the sequence, averaged over refills
  // The speeds' travel since the previous refill (output frames x speed), and since when.
  bool changed_since_refill_ = false;
  double travel_since_refill_ = 0.0;
  double travel_from_ = 0.0;
  double previous_refill_ = 0.0;
};

}  // namespace vxr

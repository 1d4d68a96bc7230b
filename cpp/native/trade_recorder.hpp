// What a simulation run tells the recorder of its trades.
#pragma once

#include <concepts>

#include "native/exit_reason.hpp"
#include "native/order.hpp"

namespace tolvane::native {

// A trade recorder is a policy: the simulation is instantiated for it and
// calls it directly, so that each event costs what the recorder does with it.
// The calls of one run:
// - bar_started(bar): before the trades of every simulated bar, in bar order;
// - entered(sid, weight, paid): `sid` goes from no position to one of `weight`
//   (a share of the portfolio value, negative for a short); `paid` is false
//   when the entry only continues a position whose trade was split;
// - exited(sid, paid, reason): `sid` goes from a position to none;
// - split_resized_positions(): asked at every resize of a held position;
//   true: the resize ends the trade (exited, not paid, ExitReason::Rebalance)
//   and starts another (entered, not paid);
// - closes_of(sid): the feed of the closes of `sid` while it is held, each
//   given as feed.seen(bar, close) after the bar's trades. A stock's bars come
//   in ascending order; different stocks may come in any order (a stretch
//   walk visits them one after another). A feed is used at once, before the
//   recorder hears of another entry or exit.
// A recorder fails by throwing a Failure, which ends the run.
template <class Recorder>
concept TradeRecorder = requires(Recorder& recorder, int sid, int bar, double value, bool paid,
                                 ExitReason reason) {
    recorder.bar_started(bar);
    recorder.entered(sid, value, paid);
    recorder.exited(sid, paid, reason);
    { recorder.split_resized_positions() } -> std::convertible_to<bool>;
    recorder.closes_of(sid).seen(bar, value);
};

// A recorder that keeps the book hears, besides:
// - order(order): every order carried out, while the trade it belongs to is
//   open: after entered() of an entry, before exited() of an exit, after the
//   entered() that continues a split trade when the rebalance resizes it;
// - carried(sid, carry): right before exited(sid, false, ExitReason::Rebalance)
//   of a split, the holding carried from the old record to the new one.
// A recorder without them is told nothing more, at no cost.
template <class Recorder>
concept BookRecorder = TradeRecorder<Recorder> && requires(Recorder& recorder, const Order& order,
                                                           const Carry& carry, int sid) {
    recorder.order(order);
    recorder.carried(sid, carry);
};

// The feed of a recorder that has no use for the closes.
struct IgnoredCloses {
    void seen(int, double) const noexcept {}
};

}  // namespace tolvane::native

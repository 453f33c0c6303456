// Puts decoded pictures into display order where the platform hands them out in decode order.
// A picture waits until `window` pictures decoded after it have arrived: no picture can precede
// it in display order after that. A window of 0 lets every picture through at once.
//
// A stream that does not state its window starts at 0 and grows it by one each time a picture
// arrives after one that follows it in display order has gone out already. Such a late picture,
// like one of a stream that understates its window, is handed back undelivered: showing it would
// step the video back. Pictures of equal times keep the order they came in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

// `Picture` has an int64_t `pts`.
template <typename Picture>
class PictureReorder {
  public:
    static constexpr int kLargestWindow = 16;

    // `window` as the stream states it, or -1 when it does not say.
    void restart(int window) {
        window_ = std::clamp(window, 0, kLargestWindow);
        grows_ = window < 0;
        anyDelivered_ = false;
    }

    // Takes a picture; appends to `due` those now due in display order, and to `late` the
    // picture if it came too late to be shown.
    void push(Picture picture, std::vector<Picture>& due, std::vector<Picture>& late) {
        if (anyDelivered_ && picture.pts < lastDeliveredPts_) {
            if (grows_ && window_ < kLargestWindow) {
                ++window_;
            }
            late.push_back(std::move(picture));
            return;
        }
        const auto position = std::upper_bound(
            held_.begin(), held_.end(), picture.pts,
            [](int64_t pts, const Picture& heldPicture) { return pts < heldPicture.pts; });
        held_.insert(position, std::move(picture));
        while (held_.size() > size_t(window_)) {
            lastDeliveredPts_ = held_.front().pts;
            anyDelivered_ = true;
            due.push_back(std::move(held_.front()));
            held_.erase(held_.begin());
        }
    }

    // Hands back every picture held, undelivered.
    void clear(std::vector<Picture>& dropped) {
        std::move(held_.begin(), held_.end(), std::back_inserter(dropped));
        held_.clear();
    }

    int window() const { return window_; }
    bool passesStraightThrough() const { return window_ == 0 && held_.empty() && !grows_; }

  private:
    std::vector<Picture> held_;  // in display order
    int window_ = 0;
    bool grows_ = false;
    bool anyDelivered_ = false;
    int64_t lastDeliveredPts_ = 0;
};

// The reorder step that puts pictures from decode order into display order, for a platform that
// hands them out in decode order.
#include "PictureReorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TimedPicture {
    int64_t pts = 0;
    char name = 0;
};

std::string namesOf(const std::vector<TimedPicture>& pictures) {
    std::string names;
    for (const TimedPicture& picture : pictures) {
        names += picture.name;
    }
    return names;
}

// What comes out, in which order, for pictures pushed in decode order with their display times.
TEST(PictureReorderTest, DecodeOrderBecomesDisplayOrder) {
    const struct {
        const char* rule;
        int window;
        std::vector<TimedPicture> decodeOrder;
        std::string due;   // handed out, in order
        std::string late;  // never shown
        std::string held;  // still waiting at the end
        int finalWindow;
    } rows[] = {
        {"no reordering passes straight through",
         0,
         {{0, 'a'}, {1, 'b'}, {2, 'c'}},
         "abc",
         "",
         "",
         0},
        {"I P B B in decode order",
         2,
         {{0, 'a'}, {3, 'd'}, {1, 'b'}, {2, 'c'}, {6, 'g'}, {4, 'e'}, {5, 'f'}},
         "abcde",
         "",
         "fg",
         2},
        {"a B pyramid",
         2,
         {{0, 'a'}, {4, 'e'}, {2, 'c'}, {1, 'b'}, {3, 'd'}, {8, 'i'}, {6, 'g'}, {5, 'f'}, {7, 'h'}},
         "abcdefg",
         "",
         "hi",
         2},
        {"an unstated window grows at the first late picture, which is not shown",
         -1,
         {{0, 'a'}, {2, 'c'}, {1, 'b'}, {3, 'd'}, {5, 'f'}, {4, 'e'}, {6, 'g'}},
         "acdef",
         "b",
         "g",
         1},
        {"a stated window does not grow",
         0,
         {{0, 'a'}, {2, 'c'}, {1, 'b'}, {3, 'd'}},
         "acd",
         "b",
         "",
         0},
        {"pictures of equal times keep their order",
         1,
         {{0, 'a'}, {0, 'b'}, {0, 'c'}},
         "ab",
         "",
         "c",
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        PictureReorder<TimedPicture> reorder;
        reorder.restart(row.window);
        std::vector<TimedPicture> due, late, held;
        for (const TimedPicture& picture : row.decodeOrder) {
            reorder.push(picture, due, late);
        }
        reorder.clear(held);
        EXPECT_EQ(namesOf(due), row.due);
        EXPECT_EQ(namesOf(late), row.late);
        EXPECT_EQ(namesOf(held), row.held);
        EXPECT_EQ(reorder.window(), row.finalWindow);
    }
}

}  // namespace

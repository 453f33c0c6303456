// The reorder step, for a platform that hands pictures out in decode order. The pictures are
// letters, shown in alphabetical order: a letter's display time is its place in the alphabet,
// the same for 'A' as for 'a'.
#include "PictureReorder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

struct Letter {
    int64_t pts;
    char name;
};

std::string namesOf(const std::vector<Letter>& letters) {
    std::string names;
    for (const Letter& letter : letters) {
        names += letter.name;
    }
    return names;
}

TEST(PictureReorderTest, DecodeOrderBecomesDisplayOrder) {
    const struct {
        const char* rule;
        int window;
        std::string decodeOrder;
        std::string due;   // handed out, in order
        std::string late;  // never shown
        std::string held;  // still waiting at the end
        int finalWindow;
    } rows[] = {
        {"no reordering passes straight through", 0, "abc", "abc", "", "", 0},
        {"I P B B", 2, "adbcgef", "abcde", "", "fg", 2},
        {"a B pyramid", 2, "aecbdigfh", "abcdefg", "", "hi", 2},
        {"an unstated window grows at a late picture, which is not shown", -1, "acbdfeg", "acdef",
         "b", "g", 1},
        {"a stated window does not grow", 0, "acbd", "acd", "b", "", 0},
        {"pictures of equal times keep their order", 1, "aAb", "aA", "", "b", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        PictureReorder<Letter> reorder;
        reorder.restart(row.window);
        std::vector<Letter> due, late, held;
        for (const char name : row.decodeOrder) {
            reorder.push({std::tolower(name) - 'a', name}, due, late);
        }
        reorder.clear(held);
        EXPECT_EQ(namesOf(due), row.due);
        EXPECT_EQ(namesOf(late), row.late);
        EXPECT_EQ(namesOf(held), row.held);
        EXPECT_EQ(reorder.window(), row.finalWindow);
    }
}

}  // namespace

// The removal's set of names against a plain reference: names equal
// ignoring ASCII case are one entry, every other name is its own, over
// names of every length around the eight-byte steps of the hash.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "removal/name_set.h"

namespace {

std::string folded(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

TEST(NameSet, NamesEqualIgnoringCaseAreOneEntry) {
    const std::string alphabet = "abcXYZ09{}-\\_.\xC3\xA9\x80\xFF";
    std::mt19937 rng(29);
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        std::string name(rng() % 40, ' ');
        for (char& c : name) c = alphabet[rng() % alphabet.size()];
        names.push_back(name);
    }
    NameSet set;
    std::set<std::string> reference;
    for (size_t i = 0; i < names.size(); i += 2) {
        ASSERT_TRUE(set.add(names[i].c_str()));
        reference.insert(folded(names[i]));
    }
    size_t entries = 0;
    set.forEach([](const char*, bool, void* count) { ++*static_cast<size_t*>(count); }, &entries);
    EXPECT_EQ(entries, reference.size());
    for (const std::string& name : names) {
        std::string other = name;  // the case of every letter turned
        for (char& c : other) {
            const auto b = static_cast<unsigned char>(c);
            if (std::isalpha(b) && b < 0x80) c = static_cast<char>(b ^ 0x20);
        }
        const bool there = reference.count(folded(name)) != 0;
        EXPECT_EQ(set.contains(name.c_str()), there) << name;
        EXPECT_EQ(set.contains(other.c_str()), there) << other;
        EXPECT_EQ(set.mark(other.c_str()), there) << other;
        EXPECT_EQ(set.marked(name.c_str()), there) << name;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "console/read_exponent.h"

namespace {

struct read_case {
  const char* text;
  read_status status;
  int32_t value;      // when ok
  const char* rest;   // what is left unread
};

TEST(ReadExponent, AcceptsWhatPercentDAcceptsAndNamesEveryFailure) {
  const read_case cases[] = {
      {"3\n", read_status::ok, 3, "\n"},
      {"  \t\n 127", read_status::ok, 127, ""},
      {"+7x", read_status::ok, 7, "x"},
      {"-0", read_status::ok, 0, ""},
      {"2147483647", read_status::ok, 2147483647, ""},
      {"-2147483648", read_status::ok, INT32_MIN, ""},
      {"000000000000000000000000011", read_status::ok, 11, ""},
      {"2147483648", read_status::out_of_range, 0, ""},
      {"-2147483649", read_status::out_of_range, 0, ""},
      {"99999999999999999999999999999", read_status::out_of_range, 0, ""},
      {"", read_status::no_integer, 0, ""},
      {"   \n", read_status::no_integer, 0, ""},
      {"abc", read_status::no_integer, 0, "abc"},
      {"-", read_status::no_integer, 0, ""},
      {"+ 5", read_status::no_integer, 0, " 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("input \"") + c.text + "\"");
    FILE* f = fmemopen(const_cast<char*>(c.text), strlen(c.text), "r");
    ASSERT_NE(f, nullptr);
    int32_t p = -999;
    EXPECT_EQ(read_exponent(f, &p), c.status);
    EXPECT_EQ(p, c.status == read_status::ok ? c.value : -999) << "p is written only on success";
    std::string rest;
    for (int ch; (ch = fgetc(f)) != EOF;) rest += static_cast<char>(ch);
    EXPECT_EQ(rest, c.rest);
    fclose(f);
  }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// The JSON writer: separators in nested containers, and text that must be escaped to stay JSON.
#include <gtest/gtest.h>

#include <string>

#include "json_writer.h"
#include "shell.h"

using qvctl_cli::json_writer;

TEST(JsonWriter, NestsWithSeparatorsAndEscapesEveryAwkwardByte)
{
    json_writer json;
    json.begin_object().key("a").begin_array().value(uint64_t{1}).begin_object().end_object().null().end_array();
    json.key("b").value(true).key("quote\"back\\").value(std::string_view("tab\tnl\nnul\0end", 14));
    json.key("utf8").value("caf\xc3\xa9").key("latin1").value("caf\xe9!").key("cut").value("\xe2\x82").end_object();
    EXPECT_EQ(json.text(), R"({"a":[1,{},null],"b":true,"quote\"back\\":"tab\u0009nl\u000anul\u0000end",)"
                           R"("utf8":"caf)" "\xc3\xa9" R"(","latin1":"caf\u00e9!","cut":"\u00e2\u0082"})");
    auto r = qvtest::sh("printf '%s' '" + json.text() + "' | python3 -m json.tool >/dev/null");
    EXPECT_EQ(r.status, 0) << r.out;
}

/* SPDX-License-Identifier: MIT */
// Names parameterised tests after their table row's `what`.
#ifndef TABLE_NAMES_H
#define TABLE_NAMES_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>

struct ByWhat {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row> &row) const
    {
        std::string name;
        for (const char *p = row.param.what; *p; p++)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    }
};

#endif

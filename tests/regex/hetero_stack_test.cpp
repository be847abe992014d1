// The typed record stack of the explicit-stack driver: records of mixed
// types across blocks, the type check on every pop, and unwinding.
#include <gtest/gtest.h>

#include <stdexcept>
#include <typeinfo>

#include "regex/hetero_stack.h"

using regex::detail::hetero_stack;
using regex::detail::type_error;

namespace {

TEST(hetero_stack, records_of_mixed_types_come_back_in_order) {
    hetero_stack st;
    struct pair_t {
        int a;
        double b;
    };
    for (int i = 0; i < 5000; ++i) {  // spans many blocks
        st.push(i);
        st.push(pair_t{i, i * 0.5});
        st.push(static_cast<const char*>(nullptr));
    }
    const std::size_t blocks = st.block_count();
    EXPECT_GT(blocks, 1u);
    for (int i = 4999; i >= 0; --i) {
        EXPECT_EQ(st.pop<const char*>(), nullptr);
        pair_t p = st.pop<pair_t>();
        EXPECT_EQ(p.a, i);
        EXPECT_EQ(p.b, i * 0.5);
        EXPECT_EQ(st.pop<int>(), i);
    }
    EXPECT_TRUE(st.empty());
    // Growing again reuses the kept blocks.
    for (int i = 0; i < 5000; ++i) st.push(pair_t{i, 0});
    EXPECT_EQ(st.block_count(), blocks);
}

TEST(hetero_stack, wrong_type_is_a_type_error_with_both_names) {
    hetero_stack st;
    st.push(42);
    try {
        (void)st.pop<double>();
        FAIL() << "no type error";
    } catch (const type_error& e) {
        const std::string expected = std::string("type error in hetero_stack (requested type: ") +
                                     typeid(double).name() + ", actual type: " + typeid(int).name() + ")";
        EXPECT_EQ(e.what(), expected);
    }
    EXPECT_EQ(st.peek<int>(), 42);  // the failed pop took nothing
    EXPECT_THROW((void)st.pop<long>(), std::logic_error);
    EXPECT_EQ(st.pop<int>(), 42);
    EXPECT_THROW((void)st.pop<int>(), type_error);  // empty
}

TEST(hetero_stack, unwind_drops_records_across_blocks) {
    hetero_stack st;
    st.push(1);
    const std::size_t mark = st.position();
    for (int i = 0; i < 10000; ++i) st.push(i);
    st.unwind(mark);
    EXPECT_EQ(st.position(), mark);
    EXPECT_EQ(st.pop<int>(), 1);
    EXPECT_TRUE(st.empty());
}

}  // namespace

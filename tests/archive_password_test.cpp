// An archive's password as the engine keeps it: asked of its source once,
// and again after forget(), while what earlier calls returned stays readable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/password.h"

namespace zorvex {
namespace {

class ScriptedSource final : public PasswordSource {
public:
    explicit ScriptedSource(std::vector<std::u16string> answers) : answers_(std::move(answers)) {}
    bool askPassword(const std::u16string&, Password& password) override {
        if (asked++ >= answers_.size()) return false;
        const std::u16string& answer = answers_[asked - 1];
        password.assign(answer.begin(), answer.end());
        return true;
    }
    size_t asked = 0;

private:
    std::vector<std::u16string> answers_;
};

std::u16string text(const Password* password) { return std::u16string(password->begin(), password->end()); }

TEST(ArchivePassword, AskedOnceUntilForgotten) {
    ScriptedSource source({u"wrong", u"right"});
    ArchivePassword password(&source, u"a.zip");
    const Password* first = password.get();
    ASSERT_TRUE(first);
    EXPECT_EQ(password.get(), first);
    EXPECT_EQ(source.asked, 1u);

    // Keys derived from a forgotten password are forgotten with it.
    const uint8_t recipe[] = {1};
    auto firstUnit = [](const Password& p) { return crypto::SecretBytes{uint8_t(p[0])}; };
    EXPECT_EQ(password.derivedKey(recipe, firstUnit), crypto::SecretBytes{'w'});
    password.forget();
    const Password* second = password.get();
    EXPECT_EQ(password.derivedKey(recipe, firstUnit), crypto::SecretBytes{'r'});
    ASSERT_TRUE(second);
    EXPECT_EQ(text(second), u"right");
    EXPECT_EQ(text(first), u"wrong");  // a codec may still hold it
    EXPECT_EQ(source.asked, 2u);

    // No answer is kept as no answer, until forgotten in turn.
    password.forget();
    EXPECT_EQ(password.get(), nullptr);
    EXPECT_EQ(password.get(), nullptr);
    EXPECT_EQ(source.asked, 3u);
}

}  // namespace
}  // namespace zorvex

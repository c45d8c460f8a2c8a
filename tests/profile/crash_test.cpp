// A program killed in the middle of saving must leave a store that opens and
// holds one whole profile: every field from the same save.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "profile/site_profile.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

const std::string kKey = "\\Software\\Brindlecote\\Kestova\\Site\\Default";

// The number a field holds in a generation: booleans, security modes and
// transfer methods have only a few values.
int NumberOf(const ProfileField& field, int generation) {
  if (field.Type == FieldType::Boolean || field.Id == FieldId::NewMethod || field.Id == FieldId::OldMethod ||
      field.Id == FieldId::NewProtocol || field.Id == FieldId::OldProtocol) {
    return generation % 2;
  }
  if (field.Id == FieldId::NewSecurity || field.Id == FieldId::OldSecurity) return generation % 3;
  return generation;
}

// Fills every field with values that name the save they belong to.
void FillGeneration(SiteProfile& profile, int generation) {
  for (const ProfileField& field : ProfileFields()) {
    SiteProfile::Value value;
    value.text = "generation " + std::to_string(generation);
    value.number = NumberOf(field, generation);
    profile.Set(field.Id, value);
  }
}

// Saves generation after generation, reporting each finished save on `fd`.
[[noreturn]] void SaveForever(const std::string& store, int start, int fd) {
  SiteProfile profile(store);
  profile.LoadRegistry("Default");
  for (int generation = start;; ++generation) {
    FillGeneration(profile, generation);
    profile.SaveRegistry("Default");
    if (::write(fd, &generation, sizeof generation) != sizeof generation) ::_exit(1);
  }
}

// The generation every field of the stored profile belongs to; fails the test
// when the fields come from different saves.
int StoredGeneration(const std::string& store) {
  Registry registry(store);
  const int generation = registry.ReadInteger(kKey, "NewRetries");
  for (const ProfileField& field : ProfileFields()) {
    if (field.Id == FieldId::RootDestn) continue;
    if (field.Type == FieldType::Password) {
      continue;  // checked through the profile below, where it is decoded
    } else if (field.IsText()) {
      EXPECT_EQ(registry.ReadString(kKey, field.Name), "generation " + std::to_string(generation)) << field.Name;
    } else if (field.Type == FieldType::Boolean) {
      EXPECT_EQ(registry.ReadBool(kKey, field.Name), generation % 2 == 1) << field.Name;
    } else {
      EXPECT_EQ(registry.ReadInteger(kKey, field.Name), NumberOf(field, generation)) << field.Name;
    }
  }
  SiteProfile profile(store);
  profile.LoadRegistry("Default");
  EXPECT_EQ(profile.OldSite.PassWord, "generation " + std::to_string(generation));
  EXPECT_EQ(profile.NewSite.PassWord, "generation " + std::to_string(generation));
  return generation;
}

TEST(ProfileCrash, AKillDuringSavesLeavesOneWholeProfile) {
  testing::TempDir dir;
  const std::string store = dir.File("registry.db");
  {
    SiteProfile first(store);
    first.LoadRegistry("Default");
    FillGeneration(first, 1);
    first.SaveRegistry("Default");
  }
  int last_seen = 1;
  std::mt19937 random(20261208);
  for (int round = 0; round < 16; ++round) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe_fds[0]);
      SaveForever(store, last_seen + 1, pipe_fds[1]);
    }
    ::close(pipe_fds[1]);
    // Let a few saves finish, then kill the child at a random moment within
    // the time one save takes, so the kill lands inside a save.
    const int wanted = 3 + round % 4;
    int finished = 0;
    int generation = 0;
    const auto start = std::chrono::steady_clock::now();
    while (finished < wanted && ::read(pipe_fds[0], &generation, sizeof generation) == sizeof generation) {
      ++finished;
      last_seen = generation;
    }
    const auto per_save = (std::chrono::steady_clock::now() - start) / std::max(finished, 1);
    std::uniform_real_distribution<double> fraction(0.0, 1.0);
    std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::nanoseconds>(per_save * fraction(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipe_fds[0]);
    ASSERT_EQ(finished, wanted) << "the saving child stopped early";
    ASSERT_TRUE(WIFSIGNALED(status));

    const int stored = StoredGeneration(store);
    // The last reported save is durable; the one after it may or may not be,
    // and the child may have got further while the kill was on its way.
    EXPECT_GE(stored, last_seen);
    last_seen = stored;
  }
}

}  // namespace
}  // namespace kestova

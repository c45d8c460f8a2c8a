#include "profile/site_profile.h"

#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/program_path.h"
#include "platform/registry.h"
#include "profile/stored_value.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

using ::testing::ElementsAre;

const std::string kSite = "\\Software\\Brindlecote\\Kestova\\Site";

class SiteProfileTest : public ::testing::Test {
 protected:
  // A profile as the main window holds it once it has been shown.
  SiteProfile& Loaded(const std::string& name = "Default") {
    profiles_.push_back(std::make_unique<SiteProfile>(store_));
    SiteProfile& profile = *profiles_.back();
    profile.RefreshProfileList();
    profile.LoadRegistry(name);
    return profile;
  }

  testing::TempDir dir_;
  std::string store_ = dir_.File("registry.db");
  std::vector<std::unique_ptr<SiteProfile>> profiles_;
};

TEST_F(SiteProfileTest, AFreshStoreGetsExactlyTheDefaults) {
  SiteProfile profile(store_);
  profile.RefreshProfileList();
  EXPECT_THAT(profile.ProfileList, ElementsAre("Default"));
  EXPECT_EQ(profile.SelectedProfile, "Default");
  profile.LoadRegistry(profile.GetCurrentProfile());

  Registry registry(store_);
  EXPECT_EQ(registry.ReadString(kSite, "CurrProfile"), "Default");
  EXPECT_THAT(registry.SubKeyNames(kSite), ElementsAre("Default"));
  const std::string key = kSite + "\\Default";
  ASSERT_EQ(registry.ValueNames(key).size(), 50u);
  for (const ProfileField& field : ProfileFields()) {
    if (field.Type == FieldType::Password) {
      EXPECT_EQ(registry.ReadString(key, field.Name), EncodeStoredValue("guestuser"));
    } else if (field.IsText()) {
      EXPECT_EQ(registry.ReadString(key, field.Name), field.DefaultText) << field.Name;
    } else {
      EXPECT_EQ(registry.ReadInteger(key, field.Name), field.DefaultNumber) << field.Name;
    }
  }
  EXPECT_EQ(registry.ReadString(key, "RootDestn"), "/tmp");
  EXPECT_EQ(registry.ReadString(key, "HTMLFile"), DataFile("auto.htm"));
  EXPECT_EQ(profile.OldSite.PassWord, "guestuser");
  EXPECT_EQ(profile.NewSite.Port, "ftp");
  EXPECT_TRUE(profile.OldSite.Passive());
  EXPECT_EQ(profile.NewRetries, 5);
  EXPECT_EQ(profile.OldStartDir, "/public_html");
  EXPECT_FALSE(profile.Loading);
  // Safe defaults: pictures go as binary, and nothing is published until
  // the user names the local folder.
  EXPECT_TRUE(profile.NewAutoDetect);
  EXPECT_FALSE(profile.NewBinary);
  EXPECT_EQ(profile.RootSource, "");
}

TEST_F(SiteProfileTest, AStoredModeOrMethodThatNamesNoneLoadsOnTheSafeSide) {
  Loaded();
  // A damaged security number asks for TLS rather than send a password in
  // clear; a damaged method number keeps the classic method.
  const struct {
    int stored;
    FtpSecurity security;
    TransferMethod method;
  } cases[] = {
      {0, FtpSecurity::Plain, TransferMethod::Classic},     {1, FtpSecurity::Explicit, TransferMethod::Modern},
      {2, FtpSecurity::Implicit, TransferMethod::Classic},  {3, FtpSecurity::Explicit, TransferMethod::Classic},
      {-1, FtpSecurity::Explicit, TransferMethod::Classic},
  };
  for (const auto& c : cases) {
    Registry(store_).WriteInteger(kSite + "\\Default", "OldSecurity", c.stored);
    Registry(store_).WriteInteger(kSite + "\\Default", "NewMethod", c.stored);
    const SiteProfile& profile = Loaded();
    EXPECT_EQ(profile.OldSite.Security, c.security) << c.stored;
    EXPECT_EQ(profile.NewSite.Method, c.method) << c.stored;
  }
}

TEST_F(SiteProfileTest, TheFieldTableIsInLoadOrderWithTheRightTypes) {
  const auto& fields = ProfileFields();
  ASSERT_EQ(fields.size(), 50u);
  for (size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(static_cast<size_t>(fields[i].Id), i) << fields[i].Name;
  EXPECT_STREQ(fields.front().Name, "OldURL");
  EXPECT_STREQ(fields[15].Name, "HTMLVisible");
  EXPECT_STREQ(fields[33].Name, "TestRun");
  EXPECT_STREQ(fields.back().Name, "OldConnections");
  EXPECT_EQ(FindProfileField("newpasv")->Type, FieldType::Boolean);
  EXPECT_EQ(FindProfileField("OLDRETRYPAUSE")->Type, FieldType::Integer);
  EXPECT_EQ(FindProfileField("NewPassword")->Type, FieldType::Password);
  EXPECT_EQ(FindProfileField("NoSuchField"), nullptr);
}

TEST_F(SiteProfileTest, APartialKeyGainsOnlyTheMissingValues) {
  {
    Registry registry(store_);
    registry.CreateKey(kSite + "\\prof_Shop");
    registry.WriteString(kSite + "\\prof_Shop", "NewHostName", "ftp.shop.test");
    registry.WriteInteger(kSite + "\\prof_Shop", "NewRetries", 9);
    registry.WriteString(kSite + "\\prof_Shop", "NewPassword", EncodeStoredValue("s3cret"));
  }
  SiteProfile& profile = Loaded("Shop");
  EXPECT_EQ(profile.NewSite.HostName, "ftp.shop.test");
  EXPECT_EQ(profile.NewRetries, 9);
  EXPECT_EQ(profile.NewSite.PassWord, "s3cret");
  EXPECT_EQ(profile.OldRetries, 5);
  Registry registry(store_);
  EXPECT_EQ(registry.ValueNames(kSite + "\\prof_Shop").size(), 50u);
  EXPECT_EQ(registry.ReadString(kSite + "\\prof_Shop", "NewHostName"), "ftp.shop.test");
  EXPECT_EQ(registry.ReadInteger(kSite + "\\prof_Shop", "NewRetries"), 9);
}

TEST_F(SiteProfileTest, AWrongValueTypeStopsTheLoadThereAndClearsLoading) {
  {
    Registry registry(store_);
    registry.CreateKey(kSite + "\\Default");
    registry.WriteString(kSite + "\\Default", "NewRetries", "7");  // an integer field stored as text
  }
  SiteProfile profile(store_);
  try {
    profile.LoadRegistry("Default");
    FAIL() << "the load went on past a value of the wrong type";
  } catch (const RegistryError& error) {
    EXPECT_STREQ(error.what(), "Invalid data type for 'NewRetries'");
  }
  EXPECT_FALSE(profile.Loading);
  EXPECT_EQ(profile.NewSite.HostName, "ftp.new-site.example");  // applied before the bad value
  EXPECT_TRUE(profile.OldStartDir.empty());                     // after it: never reached
  Registry registry(store_);
  EXPECT_FALSE(registry.ValueExists(kSite + "\\Default", "OldRetries"));
}

TEST_F(SiteProfileTest, RootSourceIsReadAfterTheNewProxy) {
  {
    Registry registry(store_);
    registry.CreateKey(kSite + "\\Default");
    registry.WriteString(kSite + "\\Default", "RootSource", "/home/me/site");
    registry.WriteInteger(kSite + "\\Default", "NewProxy", 3);
  }
  SiteProfile profile(store_);
  EXPECT_THROW(profile.LoadRegistry("Default"), RegistryError);
  EXPECT_EQ(profile.NewStartDir, "/public_html");  // loaded before RootSource's place
  EXPECT_TRUE(profile.RootSource.empty());         // its read waits for NewProxy, which failed
}

TEST_F(SiteProfileTest, SaveReportsCreationOnceAndNothingWhileLoadingOrUnnamed) {
  SiteProfile& profile = Loaded();
  EXPECT_TRUE(profile.SaveRegistry("Shop"));
  EXPECT_FALSE(profile.SaveRegistry("Shop"));
  EXPECT_FALSE(profile.SaveRegistry("SHOP"));
  EXPECT_FALSE(profile.SaveRegistry(""));
  profile.Loading = true;
  EXPECT_FALSE(profile.SaveRegistry("Other"));
  EXPECT_FALSE(profile.ProfileExists("Other"));
}

TEST_F(SiteProfileTest, SavingWithoutChangesLeavesTheStoredValuesAlone) {
  SiteProfile& first = Loaded();
  first.SaveRegistry("Default");
  Registry registry(store_);
  EXPECT_EQ(registry.ReadString(kSite + "\\Default", "OldPassword"), EncodeStoredValue("guestuser"));
  registry.WriteString(kSite + "\\Default", "RootDestn", "kept as it is");
  first.NewSite.PassWord = "changed";
  first.NewRetries = -1;
  first.SaveRegistry("Default");
  EXPECT_EQ(registry.ReadString(kSite + "\\Default", "RootDestn"), "kept as it is");
  SiteProfile& second = Loaded();
  EXPECT_EQ(second.NewSite.PassWord, "changed");
  EXPECT_EQ(second.NewRetries, -1);
}

TEST_F(SiteProfileTest, AChangeAnotherProgramMadeSinceTheLoadIsKept) {
  SiteProfile& window = Loaded();
  SiteProfile& other = Loaded();
  other.NewSite.HostName = "ftp.changed-elsewhere.test";
  other.NewRetries = 9;
  other.SaveRegistry("Default");
  // The window changes one field and saves the whole profile, as it does.
  window.NewSite.Port = "2121";
  window.NewRetries = 7;  // its own edit of a field the other changed too
  window.SaveRegistry("Default");
  SiteProfile& reread = Loaded();
  EXPECT_EQ(reread.NewSite.HostName, "ftp.changed-elsewhere.test");
  EXPECT_EQ(reread.NewSite.Port, "2121");
  EXPECT_EQ(reread.NewRetries, 7) << "the later edit of the same field wins";
  // A profile saved under another name gets every field, as before.
  window.SaveRegistry("Copy");
  EXPECT_EQ(Loaded("Copy").NewSite.HostName, window.NewSite.HostName);
}

TEST_F(SiteProfileTest, TheNameDefaultInAnyCaseIsTheDefaultKey) {
  SiteProfile& profile = Loaded("dEfAuLt");
  profile.NewURL = "http://moved.test";
  EXPECT_FALSE(profile.SaveRegistry("DEFAULT"));
  Registry registry(store_);
  EXPECT_THAT(registry.SubKeyNames(kSite), ElementsAre("Default"));
  EXPECT_EQ(registry.ReadString(kSite + "\\Default", "NewURL"), "http://moved.test");
}

TEST_F(SiteProfileTest, TheListShowsPrefixedKeysSortedAndSelectsTheCurrentProfile) {
  {
    Registry registry(store_);
    for (const char* key : {"prof_zeta", "PROF_Shop", "Shop", "prof_Alpha", "prof_beta"}) {
      registry.CreateKey(kSite + "\\" + key);
    }
    registry.WriteString(kSite, "CurrProfile", "SHOP");
  }
  SiteProfile profile(store_);
  int refreshed = 0;
  profile.OnProfileListChanged = [&] { ++refreshed; };
  profile.RefreshProfileList();
  EXPECT_THAT(profile.ProfileNames, ElementsAre("Default", "zeta", "Shop", "Alpha", "beta"));
  EXPECT_THAT(profile.ProfileList, ElementsAre("Alpha", "beta", "Default", "Shop", "zeta"));
  EXPECT_EQ(profile.SelectedProfile, "Shop");
  EXPECT_EQ(profile.GetCurrentProfile(), "SHOP");
  EXPECT_EQ(refreshed, 1);
}

TEST_F(SiteProfileTest, AMissingCurrentProfileFallsBackToDefault) {
  {
    Registry registry(store_);
    registry.CreateKey(kSite + "\\prof_Gone");
    registry.WriteString(kSite, "CurrProfile", "Gone");
  }
  SiteProfile profile(store_);
  ASSERT_TRUE(profile.DeleteProfile("gone"));
  EXPECT_FALSE(profile.DeleteProfile("Gone"));
  EXPECT_FALSE(profile.DeleteProfile("default"));
  profile.RefreshProfileList();
  EXPECT_EQ(profile.SelectedProfile, "Default");
  EXPECT_EQ(profile.GetCurrentProfile(), "Default");
}

TEST_F(SiteProfileTest, APassiveFlagLoadedWhileTheClientUsesAProxyStaysOn) {
  SiteProfile& profile = Loaded();
  profile.OldSite.SetPassive(false);
  profile.SaveRegistry("Default");
  profile.OldSite.SetThroughProxy(true);  // as a run through a proxy leaves it
  profile.LoadRegistry("Default");
  EXPECT_TRUE(profile.OldSite.Passive());
  profile.SaveRegistry("Default");
  Registry registry(store_);
  EXPECT_EQ(registry.ReadInteger(kSite + "\\Default", "OldPASV"), 1);
}

TEST_F(SiteProfileTest, ThePassiveSetterFollowsTheConnectionType) {
  SiteSettings client;
  EXPECT_FALSE(client.Passive());
  client.SetThroughProxy(true);
  EXPECT_TRUE(client.Passive());
  client.SetPassive(false);
  EXPECT_TRUE(client.Passive());
  client.SetThroughProxy(false);
  EXPECT_TRUE(client.Passive());
  client.SetPassive(false);
  EXPECT_FALSE(client.Passive());
}

TEST_F(SiteProfileTest, AStoredTemplateVisibilityTogglesTheEditorWithoutSaving) {
  SiteProfile& profile = Loaded();
  std::vector<bool> toggles;
  profile.OnTemplateToggle = [&](bool visible) { toggles.push_back(visible); };
  {
    Registry registry(store_);
    registry.WriteInteger(kSite + "\\Default", "HTMLVisible", 7);  // any non-zero value is true
  }
  profile.LoadRegistry("Default");
  profile.LoadRegistry("Default");  // already visible: no second toggle
  EXPECT_THAT(toggles, ElementsAre(true));
  EXPECT_TRUE(profile.IsTemplateVisible());
  Registry registry(store_);
  EXPECT_EQ(registry.ReadInteger(kSite + "\\Default", "HTMLVisible"), 7);
  profile.SaveRegistry("Default");
  EXPECT_EQ(registry.ReadInteger(kSite + "\\Default", "HTMLVisible"), 1);
}

TEST_F(SiteProfileTest, AProfileCreatedBySavingCopiesTheProfileShownBefore) {
  SiteProfile& profile = Loaded();
  profile.NewSite.HostName = "ftp.copy.test";
  profile.SetCurrentProfile("Copy");
  EXPECT_TRUE(profile.SaveRegistry(profile.GetCurrentProfile()));
  SiteProfile& reloaded = Loaded("Copy");
  EXPECT_EQ(reloaded.NewSite.HostName, "ftp.copy.test");
  EXPECT_EQ(reloaded.OldURL, "http://www.old-site.example");
  reloaded.RefreshProfileList();
  EXPECT_EQ(reloaded.SelectedProfile, "Copy");
}

}  // namespace
}  // namespace kestova

// The programme browser source created, updated, placed and fitted in real libobs scenes, on every course.
#include "output/program_source.hpp"
#include "support/browser_stand_in.hpp"
#include "support/frontend_stub.hpp"
#include "support/obs_allocs.hpp"
#include "support/obs_probe.hpp"
#include "support/obs_session.hpp"
#include "support/qt_print.hpp"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>

// libobs keeps a settings record sorted by key, so the order its entries were written in shows only in the
// calls themselves. This executable's own setters note each call and hand it on to libobs unchanged.
namespace {

struct SetCall {
	obs_data_t *data;
	std::string key;
};
std::vector<SetCall> *noting = nullptr; // the calls are noted while this is set

template<typename Setter> Setter libobsSetter(const char *name)
{
	return reinterpret_cast<Setter>(dlsym(RTLD_NEXT, name));
}

void note(obs_data_t *data, const char *key)
{
	if (noting)
		noting->push_back({data, key});
}

} // namespace

extern "C" __attribute__((visibility("default"))) void obs_data_set_string(obs_data_t *data, const char *name,
									   const char *val)
{
	static const auto forward = libobsSetter<void (*)(obs_data_t *, const char *, const char *)>(__func__);
	note(data, name);
	forward(data, name, val);
}

extern "C" __attribute__((visibility("default"))) void obs_data_set_int(obs_data_t *data, const char *name,
									long long val)
{
	static const auto forward = libobsSetter<void (*)(obs_data_t *, const char *, long long)>(__func__);
	note(data, name);
	forward(data, name, val);
}

extern "C" __attribute__((visibility("default"))) void obs_data_set_bool(obs_data_t *data, const char *name, bool val)
{
	static const auto forward = libobsSetter<void (*)(obs_data_t *, const char *, bool)>(__func__);
	note(data, name);
	forward(data, name, val);
}

namespace {

const char *const kCss =
	"html,body{background:transparent!important;margin:0;overflow:hidden}video{width:100%;height:100%;object-fit:contain}";

// Another input type, to hold a name the way a user's text source would.
void registerTextStandIn()
{
	obs_source_info info = {};
	info.id = "text_stand_in";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = [](void *) {
		return "Text (test stand-in)";
	};
	info.create = [](obs_data_t *, obs_source_t *source) -> void * {
		return source;
	};
	info.destroy = [](void *) {
	};
	info.get_width = [](void *) -> uint32_t {
		return 0;
	};
	info.get_height = [](void *) -> uint32_t {
		return 0;
	};
	obs_register_source(&info);
}

struct Request {
	QString server = QStringLiteral("http://127.0.0.1:3000");
	QString studioId = QStringLiteral("A1");
	QString signal = QStringLiteral("pgm");
	int width = 1920;
	int height = 1080;
	int fps = 60;
	bool audio = true;
};

bool apply(const Request &r, QString *errorText)
{
	return createOrUpdateProgramSource(r.server, r.studioId, r.signal, r.width, r.height, r.fps, r.audio,
					   errorText);
}

std::vector<SettingEntry> nineSettings(const std::string &url, int width, int height, int fps, bool audio)
{
	const auto integer = [](const char *key, int value) {
		return SettingEntry{key, OBS_DATA_NUMBER, OBS_DATA_NUM_INT, std::to_string(value)};
	};
	const auto boolean = [](const char *key, bool value) {
		return SettingEntry{key, OBS_DATA_BOOLEAN, OBS_DATA_NUM_INVALID, value ? "true" : "false"};
	};
	return {
		{"url", OBS_DATA_STRING, OBS_DATA_NUM_INVALID, url},
		integer("width", width),
		integer("height", height),
		boolean("fps_custom", true),
		integer("fps", fps),
		boolean("shutdown", false),
		boolean("restart_when_active", true),
		boolean("reroute_audio", audio),
		{"css", OBS_DATA_STRING, OBS_DATA_NUM_INVALID, kCss},
	};
}

std::vector<SettingEntry> byKey(std::vector<SettingEntry> entries)
{
	std::sort(entries.begin(), entries.end(),
		  [](const SettingEntry &a, const SettingEntry &b) { return a.key < b.key; });
	return entries;
}

void expectFitted(obs_sceneitem_t *item, float x, float y, float scale)
{
	EXPECT_EQ(positionOf(item).x, placedAt(x));
	EXPECT_EQ(positionOf(item).y, placedAt(y));
	EXPECT_EQ(scaleOf(item).x, scale);
	EXPECT_EQ(scaleOf(item).y, scale);
}

void moveAndResize(obs_sceneitem_t *item, float x, float y, float sx, float sy)
{
	vec2 pos, scale;
	vec2_set(&pos, x, y);
	vec2_set(&scale, sx, sy);
	obs_sceneitem_set_pos(item, &pos);
	obs_sceneitem_set_scale(item, &scale);
}

class ProgramSource : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		static bool registered = false;
		if (!registered) {
			registerTextStandIn();
			registered = true;
		}
		ASSERT_TRUE(obs_session::prepareForBrowserSources());
	}

	void SetUp() override { baseline = obs_allocs::now(); }

	// Every course must leave libobs as it found it once the test has let go of its own objects.
	void TearDown() override
	{
		frontend::setCurrentScene(nullptr);
		EXPECT_EQ(obs_allocs::settledAt(baseline), baseline) << "libobs objects left behind";
	}

	// For table rows: the same check, per row, once the row's objects are gone.
	static void expectNothingLeftSince(long rowBaseline)
	{
		frontend::setCurrentScene(nullptr);
		EXPECT_EQ(obs_allocs::settledAt(rowBaseline), rowBaseline) << "libobs objects left behind";
	}

	long baseline = 0;
};

TEST_F(ProgramSource, createsABrowserSourceWithExactlyTheNineSettingsInOrder)
{
	ASSERT_EQ(strlen(kCss), 116u);
	TestScene scene = obs_scene_create("create");
	frontend::setCurrentScene(obs_scene_get_source(scene));

	Request r;
	r.server = QStringLiteral("http://studio.local:3000//");
	r.signal = QStringLiteral("vpgm");
	r.width = 1080;
	r.height = 1920;
	r.fps = 30;
	r.audio = false;
	QString error = QStringLiteral("untouched");
	std::vector<SetCall> calls;
	noting = &calls;
	const bool applied = apply(r, &error);
	noting = nullptr;
	ASSERT_TRUE(applied);
	EXPECT_EQ(error, "untouched");

	OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen Vertical \xE2\x80\x94 A1");
	ASSERT_TRUE(source);
	EXPECT_STREQ(obs_source_get_id(source), "browser_source");
	EXPECT_EQ(byKey(settingsOf(source)),
		  byKey(nineSettings("http://studio.local:3000/out/A1?src=vpgm", 1080, 1920, 30, false)));
	EXPECT_EQ(countSourcesOfType("browser_source"), 1);

	// The new source took the record itself as its settings: the calls on it are the record's writes.
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	std::vector<std::string> written;
	for (const SetCall &call : calls)
		if (call.data == settings.Get())
			written.push_back(call.key);
	EXPECT_EQ(written, (std::vector<std::string>{"url", "width", "height", "fps_custom", "fps", "shutdown",
						     "restart_when_active", "reroute_audio", "css"}));
}

TEST_F(ProgramSource, addsOneTopLevelItemFittedToTheCanvasForTheRequestedSize)
{
	struct Row {
		const char *behaviour;
		int width, height;
		float x, y, scale;
	};
	const Row rows[] = {
		{"a 16:9 page fills the 16:9 canvas", 1920, 1080, 0.0f, 0.0f, 1.0f},
		{"a 9:16 page is a full-height column in the middle", 1080, 1920, 656.25f, 0.0f, 0.5625f},
		{"a small page is enlarged", 320, 180, 0.0f, 0.0f, 6.0f},
		{"a 4:3 page is centred with side margins", 1440, 1080, 240.0f, 0.0f, 1.0f},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const long rowBaseline = obs_allocs::now();
		{
			TestScene scene = obs_scene_create("fit");
			frontend::setCurrentScene(obs_scene_get_source(scene));
			Request r;
			r.width = row.width;
			r.height = row.height;
			ASSERT_TRUE(apply(r, nullptr));

			OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
			ASSERT_TRUE(source);
			ASSERT_EQ(topLevelItems(scene).size(), 1u);
			obs_sceneitem_t *item = topLevelItems(scene)[0];
			EXPECT_EQ(obs_sceneitem_get_source(item), source.Get());
			expectFitted(item, row.x, row.y, row.scale);
		}
		expectNothingLeftSince(rowBaseline);
	}
}

TEST_F(ProgramSource, setsAudioOnOrOffInTheSettingsAndTheSourceOnBothCourses)
{
	struct Row {
		const char *behaviour;
		bool existing;
		bool audio;
	};
	const Row rows[] = {
		{"a new source with audio", false, true},
		{"a new source without audio", false, false},
		{"an existing silent source gets audio", true, true},
		{"an existing source with audio is silenced", true, false},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const long rowBaseline = obs_allocs::now();
		{
			TestScene scene = obs_scene_create("audio");
			frontend::setCurrentScene(obs_scene_get_source(scene));
			OBSSourceAutoRelease existing;
			if (row.existing) {
				existing = obs_source_create("browser_source", "Lorvalen PGM \xE2\x80\x94 A1", nullptr,
							     nullptr);
				obs_source_set_audio_active(existing, !row.audio);
			}
			Request r;
			r.audio = row.audio;
			ASSERT_TRUE(apply(r, nullptr));

			OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
			ASSERT_TRUE(source);
			EXPECT_EQ(obs_source_audio_active(source), row.audio);
			OBSDataAutoRelease settings = obs_source_get_settings(source);
			EXPECT_EQ(obs_data_get_bool(settings, "reroute_audio"), row.audio);
		}
		expectNothingLeftSince(rowBaseline);
	}
}

TEST_F(ProgramSource, applyingAgainUpdatesTheSameSourceAndRefitsItsOnlyItem)
{
	TestScene scene = obs_scene_create("again");
	frontend::setCurrentScene(obs_scene_get_source(scene));
	Request first;
	first.server = QStringLiteral("http://first:3000");
	ASSERT_TRUE(apply(first, nullptr));
	OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
	ASSERT_TRUE(source);
	ASSERT_EQ(topLevelItems(scene).size(), 1u);
	obs_sceneitem_t *item = topLevelItems(scene)[0];

	// The user moves and resizes the item, and the page has a setting of its own that OK does not write.
	moveAndResize(item, 100.0f, 50.0f, 0.25f, 0.4f);
	OBSDataAutoRelease own = obs_data_create();
	obs_data_set_int(own, "zoom", 2);
	obs_source_update(source, own);

	Request second;
	second.server = QStringLiteral("http://second:4000/");
	second.width = 1080;
	second.height = 1920;
	second.fps = 25;
	second.audio = false;
	QString error;
	ASSERT_TRUE(apply(second, &error));
	EXPECT_TRUE(error.isEmpty());

	OBSSourceAutoRelease again = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
	EXPECT_EQ(again.Get(), source.Get());
	EXPECT_EQ(countSourcesOfType("browser_source"), 1);
	ASSERT_EQ(topLevelItems(scene).size(), 1u);
	EXPECT_EQ(topLevelItems(scene)[0], item);
	expectFitted(item, 656.25f, 0.0f, 0.5625f);

	std::vector<SettingEntry> expected = nineSettings("http://second:4000/out/A1?src=pgm", 1080, 1920, 25, false);
	expected.push_back({"zoom", OBS_DATA_NUMBER, OBS_DATA_NUM_INT, "2"});
	EXPECT_EQ(byKey(settingsOf(source)), byKey(expected));
}

TEST_F(ProgramSource, anotherCurrentSceneGetsItsOwnItemAndTheFirstIsKeptAsItWas)
{
	TestScene first = obs_scene_create("first");
	TestScene second = obs_scene_create("second");
	frontend::setCurrentScene(obs_scene_get_source(first));
	ASSERT_TRUE(apply(Request{}, nullptr));
	OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
	ASSERT_TRUE(source);
	ASSERT_EQ(topLevelItems(first).size(), 1u);
	obs_sceneitem_t *firstItem = topLevelItems(first)[0];
	moveAndResize(firstItem, 10.0f, 20.0f, 0.5f, 0.5f);

	frontend::setCurrentScene(obs_scene_get_source(second));
	Request vertical;
	vertical.width = 1080;
	vertical.height = 1920;
	ASSERT_TRUE(apply(vertical, nullptr));

	EXPECT_EQ(countSourcesOfType("browser_source"), 1);
	const auto secondItems = topLevelItems(second, source);
	ASSERT_EQ(secondItems.size(), 1u);
	expectFitted(secondItems[0], 656.25f, 0.0f, 0.5625f);
	ASSERT_EQ(topLevelItems(first).size(), 1u);
	EXPECT_EQ(topLevelItems(first)[0], firstItem);
	expectFitted(firstItem, 10.0f, 20.0f, 0.5f); // not in the current scene: left as the user put it
}

TEST_F(ProgramSource, anItemInsideAGroupIsNotFoundSoATopLevelOneIsAdded)
{
	TestScene scene = obs_scene_create("grouped");
	frontend::setCurrentScene(obs_scene_get_source(scene));
	ASSERT_TRUE(apply(Request{}, nullptr));
	OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 A1");
	ASSERT_TRUE(source);
	ASSERT_EQ(topLevelItems(scene).size(), 1u);
	obs_sceneitem_t *item = topLevelItems(scene)[0];
	moveAndResize(item, 30.0f, 40.0f, 0.5f, 0.5f);
	obs_sceneitem_t *group = obs_scene_insert_group(scene, "Grupo", &item, 1);
	ASSERT_NE(group, nullptr);
	obs_scene_t *groupScene = obs_sceneitem_group_get_scene(group);
	ASSERT_EQ(topLevelItems(scene, source).size(), 0u);
	ASSERT_EQ(topLevelItems(groupScene, source).size(), 1u);
	const vec2 groupedPos = positionOf(topLevelItems(groupScene, source)[0]);
	const vec2 groupedScale = scaleOf(topLevelItems(groupScene, source)[0]);

	Request vertical;
	vertical.width = 1080;
	vertical.height = 1920;
	ASSERT_TRUE(apply(vertical, nullptr));

	const auto added = topLevelItems(scene, source);
	ASSERT_EQ(added.size(), 1u);
	expectFitted(added[0], 656.25f, 0.0f, 0.5625f);
	ASSERT_EQ(topLevelItems(groupScene, source).size(), 1u);
	obs_sceneitem_t *grouped = topLevelItems(groupScene, source)[0];
	EXPECT_EQ(positionOf(grouped).x, groupedPos.x);
	EXPECT_EQ(positionOf(grouped).y, groupedPos.y);
	EXPECT_EQ(scaleOf(grouped).x, groupedScale.x);
}

TEST_F(ProgramSource, refusesANameHeldByAnotherTypeAndLeavesThatSourceAlone)
{
	struct Row {
		const char *behaviour;
		bool holderIsScene;
		bool withErrorText;
	};
	const Row rows[] = {
		{"a text source holds the name", false, true},
		{"a scene holds the name", true, true},
		{"refused without an error text to fill", false, false},
	};
	const char *name = "Lorvalen Vertical \xE2\x80\x94 A1";
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const long rowBaseline = obs_allocs::now();
		{
			TestScene scene = obs_scene_create("current");
			frontend::setCurrentScene(obs_scene_get_source(scene));
			TestScene holderScene;
			OBSSourceAutoRelease holderInput;
			obs_source_t *holder;
			if (row.holderIsScene) {
				holderScene = obs_scene_create(name);
				holder = obs_scene_get_source(holderScene);
			} else {
				OBSDataAutoRelease text = obs_data_create();
				obs_data_set_string(text, "text", "Bom dia");
				holderInput = obs_source_create("text_stand_in", name, text, nullptr);
				holder = holderInput;
			}
			ASSERT_NE(holder, nullptr);
			obs_source_set_audio_active(holder, false);
			OBSDataAutoRelease before = obs_source_get_settings(holder);
			const std::string settingsBefore = obs_data_get_json(before);

			Request r;
			r.signal = QStringLiteral("vpgm");
			QString error;
			EXPECT_FALSE(apply(r, row.withErrorText ? &error : nullptr));
			if (row.withErrorText) {
				EXPECT_EQ(error,
					  QStringLiteral("Já existe uma fonte chamada \"Lorvalen Vertical \u2014 "
							 "A1\" que não é uma Browser Source."));
			}

			OBSSourceAutoRelease found = obs_get_source_by_name(name);
			EXPECT_EQ(found.Get(), holder);
			OBSDataAutoRelease after = obs_source_get_settings(holder);
			EXPECT_EQ(obs_data_get_json(after), settingsBefore);
			EXPECT_FALSE(obs_source_audio_active(holder));
			EXPECT_EQ(countSourcesOfType("browser_source"), 0);
			EXPECT_EQ(topLevelItems(scene).size(), 0u);
		}
		expectNothingLeftSince(rowBaseline);
	}
}

TEST_F(ProgramSource, noCurrentSceneFailsOnTheCreateAndTheUpdateCourse)
{
	struct Row {
		const char *behaviour;
		bool existing;
		bool withErrorText;
	};
	const Row rows[] = {
		{"create course: nothing is left", false, true},
		{"update course: the new settings are already in effect, nothing placed", true, true},
		{"failure without an error text to fill", true, false},
	};
	const char *name = "Lorvalen PGM \xE2\x80\x94 A1";
	for (const Row &row : rows) {
		SCOPED_TRACE(row.behaviour);
		const long rowBaseline = obs_allocs::now();
		{
			TestScene notCurrent = obs_scene_create("not current");
			frontend::setCurrentScene(nullptr);
			OBSSourceAutoRelease existing;
			if (row.existing) {
				OBSDataAutoRelease old = obs_data_create();
				obs_data_set_string(old, "url", "http://old:1/out/A1?src=pgm");
				obs_data_set_int(old, "width", 640);
				existing = obs_source_create("browser_source", name, old, nullptr);
				obs_source_set_audio_active(existing, true);
			}

			Request r;
			r.width = 1280;
			r.height = 720;
			r.audio = false;
			QString error;
			EXPECT_FALSE(apply(r, row.withErrorText ? &error : nullptr));
			if (row.withErrorText) {
				EXPECT_EQ(error, QStringLiteral("Nenhum scene ativo no OBS."));
			}

			EXPECT_EQ(topLevelItems(notCurrent).size(), 0u);
			OBSSourceAutoRelease found = obs_get_source_by_name(name);
			if (!row.existing) {
				EXPECT_FALSE(found); // its only reference was let go
				EXPECT_EQ(countSourcesOfType("browser_source"), 0);
			} else {
				EXPECT_EQ(found.Get(), existing.Get());
				EXPECT_EQ(byKey(settingsOf(existing)),
					  byKey(nineSettings("http://127.0.0.1:3000/out/A1?src=pgm", 1280, 720, 60,
							     false)));
				EXPECT_TRUE(obs_source_audio_active(existing)); // not reached
			}
		}
		expectNothingLeftSince(rowBaseline);
	}
}

TEST_F(ProgramSource, aCurrentSourceThatIsNoSceneGetsNoItemYetTheSourceIsUpdated)
{
	OBSSourceAutoRelease notAScene = obs_source_create("text_stand_in", "not a scene", nullptr, nullptr);
	ASSERT_TRUE(notAScene);
	frontend::setCurrentScene(notAScene);
	OBSSourceAutoRelease existing =
		obs_source_create("browser_source", "Lorvalen PGM \xE2\x80\x94 A1", nullptr, nullptr);
	obs_source_set_audio_active(existing, true);

	Request r;
	r.audio = false;
	QString error = QStringLiteral("untouched");
	EXPECT_TRUE(apply(r, &error));
	EXPECT_EQ(error, "untouched");
	EXPECT_EQ(byKey(settingsOf(existing)),
		  byKey(nineSettings("http://127.0.0.1:3000/out/A1?src=pgm", 1920, 1080, 60, false)));
	EXPECT_FALSE(obs_source_audio_active(existing));
}

TEST_F(ProgramSource, anIdWithBlanksSlashesAndAccentsReachesLibobsAsUtf8AndFindsItsItemAgain)
{
	TestScene scene = obs_scene_create("utf8");
	frontend::setCurrentScene(obs_scene_get_source(scene));
	Request r;
	r.studioId = QStringLiteral("Estúdio 1/ç?#&");
	ASSERT_TRUE(apply(r, nullptr));
	ASSERT_TRUE(apply(r, nullptr));

	OBSSourceAutoRelease source = obs_get_source_by_name("Lorvalen PGM \xE2\x80\x94 Est\xC3\xBA"
							     "dio 1/\xC3\xA7?#&");
	ASSERT_TRUE(source);
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	EXPECT_STREQ(obs_data_get_string(settings, "url"), "http://127.0.0.1:3000/out/Est\xC3\xBA"
							   "dio 1/\xC3\xA7?#&?src=pgm");
	EXPECT_EQ(topLevelItems(scene).size(), 1u);
	EXPECT_EQ(countSourcesOfType("browser_source"), 1);
}

} // namespace

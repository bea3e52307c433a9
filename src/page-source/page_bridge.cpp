#include "page-source/page_bridge.hpp"

#include "page-source/bridge_script.hpp"
#include "page-source/channel.hpp"
#include "page-source/page_api.hpp"
#include "page-source/page_rules.hpp"
#include "page-source/webkit_quirks.hpp"

#include <gst/video/navigation.h>

#include <algorithm>
#include <optional>

GST_DEBUG_CATEGORY_EXTERN(lorvalen_page_debug);
#define GST_CAT_DEFAULT lorvalen_page_debug

namespace page {

namespace {

// Where the view's load events go.
struct View {
	void (*onLoad)(PageLoad, void *) = nullptr;
	void *data = nullptr;
	bool mediaRestarts = false;
};
View state;

struct LoadEvent {
	PageLoad event;
};

// Main thread.
gboolean deliverLoad(gpointer data)
{
	const PageLoad event = static_cast<LoadEvent *>(data)->event;
	if (state.onLoad)
		state.onLoad(event, state.data);
	return G_SOURCE_REMOVE;
}

// WPE thread. WebKit's WEBKIT_LOAD_COMMITTED and WEBKIT_LOAD_FINISHED.
void onLoadChanged(GObject *, int event, gpointer)
{
	const int committed = 2;
	const int finished = 3;
	if (event != committed && event != finished)
		return;
	// g_idle_add, never an invoke: the main context might be free to take here, on the wrong thread.
	g_idle_add_full(G_PRIORITY_DEFAULT, deliverLoad,
			new LoadEvent{event == committed ? PageLoad::Committed : PageLoad::Finished},
			[](gpointer data) { delete static_cast<LoadEvent *>(data); });
}

// The name pages post to: window.webkit.messageHandlers.lorvalen.
const char *const kHandler = "lorvalen";

// WebKit's and JavaScriptCore's functions for the bridge. WebKit's API 2.0 (WebKit 2.40 and later) gives the
// message handler a world name and the signal a JSCValue; API 1.1 a WebKitJavascriptResult holding one.
struct WebKitFunctions {
	void *(*getUserContentManager)(GObject *view) = nullptr;
	void *(*userScriptNew)(const char *source, int frames, int time, const char *const *allow,
			       const char *const *block) = nullptr;
	void (*userScriptUnref)(void *script) = nullptr;
	void (*addScript)(void *manager, void *script) = nullptr;
	void *registerHandler = nullptr;                   // the signature differs by API
	void *(*resultGetJsValue)(void *result) = nullptr; // API 1.1 only
	gboolean (*isObject)(void *value) = nullptr;
	gboolean (*isString)(void *value) = nullptr;
	gboolean (*isNumber)(void *value) = nullptr;
	void *(*getProperty)(void *value, const char *name) = nullptr; // a new reference
	char *(*toString)(void *value) = nullptr;                      // g_free it
	double (*toDouble)(void *value) = nullptr;
};
WebKitFunctions webkit;

// A page's posts, counted on the WPE thread where they arrive. Calls go on at a rate no page needs to exceed, so
// that a flood cannot crowd frames, sound and heartbeats out of the socket.
LineBudget consoleBudget(kConsoleBurst, kConsolePerSecond);
LineBudget callBudget(120, 60);

template<typename T> void take(T &slot, const char *name)
{
	slot = reinterpret_cast<T>(webkitFunction(name));
}

bool takeWebKitFunctions()
{
	take(webkit.getUserContentManager, "webkit_web_view_get_user_content_manager");
	take(webkit.userScriptNew, "webkit_user_script_new");
	take(webkit.userScriptUnref, "webkit_user_script_unref");
	take(webkit.addScript, "webkit_user_content_manager_add_script");
	webkit.registerHandler = webkitFunction("webkit_user_content_manager_register_script_message_handler");
	take(webkit.resultGetJsValue, "webkit_javascript_result_get_js_value");
	take(webkit.isObject, "jsc_value_is_object");
	take(webkit.isString, "jsc_value_is_string");
	take(webkit.isNumber, "jsc_value_is_number");
	take(webkit.getProperty, "jsc_value_object_get_property");
	take(webkit.toString, "jsc_value_to_string");
	take(webkit.toDouble, "jsc_value_to_double");
	return webkit.getUserContentManager && webkit.userScriptNew && webkit.userScriptUnref && webkit.addScript &&
	       webkit.registerHandler && webkit.isObject && webkit.isString && webkit.isNumber && webkit.getProperty &&
	       webkit.toString && webkit.toDouble;
}

bool webKitApi2()
{
	return webkit.resultGetJsValue == nullptr;
}

int64_t nowMs()
{
	return g_get_monotonic_time() / 1000;
}

// A string property of a posted object, at most `limit` bytes (cut at a character); nothing when it is not a string.
std::optional<std::string> stringProperty(void *object, const char *name, size_t limit)
{
	void *property = webkit.getProperty(object, name);
	if (!property)
		return std::nullopt;
	std::optional<std::string> text;
	if (webkit.isString(property)) {
		char *value = webkit.toString(property);
		if (value) {
			text = value;
			g_free(value);
			if (text->size() > limit) {
				size_t cut = limit;
				while (cut > 0 && (static_cast<unsigned char>((*text)[cut]) & 0xc0) == 0x80)
					--cut;
				text->resize(cut);
			}
		}
	}
	g_object_unref(property);
	return text;
}

uint32_t countProperty(void *object, const char *name)
{
	void *property = webkit.getProperty(object, name);
	if (!property)
		return 0;
	const double value = webkit.isNumber(property) ? webkit.toDouble(property) : 0.0;
	g_object_unref(property);
	return value >= 1.0 ? uint32_t(std::min(value, 1e9)) : 0;
}

// What the page posted, as the page's bridge posts it: {t: "call", id, name, arg} or {t: "console", level,
// text, dropped}. Anything else, and anything over the page's budget, is dropped here.
bool encodePost(void *value, PacketBytes &packet)
{
	if (!webkit.isObject(value))
		return false;
	const std::optional<std::string> kind = stringProperty(value, "t", 16);
	if (kind == "call") {
		const std::string id = stringProperty(value, "id", kMaxIdBytes + 1).value_or("");
		const std::string name = stringProperty(value, "name", kMaxNameBytes + 1).value_or("");
		const std::string argument = stringProperty(value, "arg", kMaxTextBytes).value_or("");
		if (!validRecordId(id) || !validRecordName(name) || !callBudget.spend(nowMs()))
			return false;
		return encodeRecord(Packet::PageCall, {id, name, argument, 0}, packet);
	}
	if (kind == "console") {
		const std::string level = stringProperty(value, "level", 16).value_or("log");
		const uint64_t dropped = countProperty(value, "dropped");
		if (!consoleBudget.spend(nowMs()))
			return false;
		const std::string text = stringProperty(value, "text", kMaxConsoleBytes + 4).value_or("");
		const uint64_t total = std::min<uint64_t>(dropped + consoleBudget.takeRefused(), UINT32_MAX);
		return encodeRecord(Packet::PageConsole,
				    {{}, validRecordName(level) ? level : "log", text, uint32_t(total)}, packet);
	}
	return false;
}

// On the WPE thread, where WebKit delivers what the page posted: it goes to the module's socket at once, without
// waiting (sends of one packet are whole whichever thread makes them).
void onScriptMessage(GObject *, void *argument, gpointer)
{
	void *value = webKitApi2() ? argument : webkit.resultGetJsValue(argument);
	PacketBytes packet;
	if (!value || !encodePost(value, packet))
		return;
	if (sendPacket(kSocketFd, packet) != SendResult::Sent)
		GST_LOG("the module's socket is full: a post of the page dropped");
}

void addBridge(GObject *view)
{
	static const bool ready = takeWebKitFunctions();
	if (!ready) {
		GST_WARNING("WebKit lacks what window.obsstudio needs: pages get none");
		return;
	}
	void *manager = webkit.getUserContentManager(view);
	const int allFrames = 0;     // WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES
	const int documentStart = 0; // WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START
	std::string source = kBridgeScript;
	const std::string_view unmended = "var restartsMedia = false;";
	if (const size_t at = source.find(unmended); state.mediaRestarts && at != std::string::npos)
		source.replace(at, unmended.size(), "var restartsMedia = true;");
	void *script = webkit.userScriptNew(source.c_str(), allFrames, documentStart, nullptr, nullptr);
	webkit.addScript(manager, script);
	webkit.userScriptUnref(script);
	const gboolean registered = webKitApi2() ? reinterpret_cast<gboolean (*)(void *, const char *, const char *)>(
							   webkit.registerHandler)(manager, kHandler, nullptr)
						 : reinterpret_cast<gboolean (*)(void *, const char *)>(
							   webkit.registerHandler)(manager, kHandler);
	const std::string signal = std::string("script-message-received::") + kHandler;
	g_signal_connect(G_OBJECT(manager), signal.c_str(), G_CALLBACK(onScriptMessage), nullptr);
	GST_INFO("window.obsstudio in every frame (WebKit API %s, handler %s)", webKitApi2() ? "2.0" : "1.1",
		 registered ? "registered" : "not registered");
}

// WPE thread, before the view's first load.
void onConfigureWebView(GstElement *, GObject *view, gpointer)
{
	g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), nullptr);
	addBridge(view);
}

// The helper's main thread only: wpesrc's WPE thread runs it and waits for it.
void runScript(GstElement *wpesrc, const std::string &script)
{
	GST_TRACE("running %s", script.c_str());
	g_signal_emit_by_name(wpesrc, "run-javascript", script.c_str());
}

} // namespace

void watchView(GstElement *wpesrc, bool mediaRestarts, void (*onLoad)(PageLoad event, void *data), void *data)
{
	state.mediaRestarts = mediaRestarts;
	state.onLoad = onLoad;
	state.data = data;
	connectToVideoSource(wpesrc, "configure-web-view", G_CALLBACK(onConfigureWebView), nullptr);
}

// The bridge may be missing (a page between two loads): the guard makes each script harmless then.
void answerCall(GstElement *wpesrc, std::string_view id, std::string_view json)
{
	runScript(wpesrc, "window.__lorvalenObs&&window.__lorvalenObs.answer('" + std::string(id) + "'," +
				  std::string(json) + ")");
}

void dispatchEvent(GstElement *wpesrc, std::string_view name, std::string_view json)
{
	GST_DEBUG("event %.*s", int(name.size()), name.data());
	runScript(wpesrc, "window.__lorvalenObs&&window.__lorvalenObs.dispatch('" + std::string(name) + "'," +
				  std::string(json) + ")");
}

void tellHidden(GstElement *wpesrc, bool hidden)
{
	runScript(wpesrc, std::string("window.__lorvalenObs&&window.__lorvalenObs.visibility(") +
				  (hidden ? "true" : "false") + ")");
}

void tellFocused(GstElement *wpesrc, bool focused)
{
	runScript(wpesrc, std::string("window.__lorvalenObs&&window.__lorvalenObs.focus(") +
				  (focused ? "true" : "false") + ")");
}

void announceClicks(GstElement *wpesrc, uint32_t clicks)
{
	runScript(wpesrc, "window.__lorvalenObs&&window.__lorvalenObs.clickCount(" + std::to_string(clicks) + ")");
}

// WebKit takes a key by the character it types or by its X keysym's name; the name comes from the xkbcommon that
// the wpe plug-in loaded.
std::string keyName(const InputEvent &input)
{
	if (input.text[0])
		return std::string(input.text, strnlen(input.text, sizeof input.text));
	using GetName = int (*)(uint32_t keysym, char *buffer, size_t size);
	static const auto getName = reinterpret_cast<GetName>(loadedFunction("libxkbcommon.so", "xkb_keysym_get_name"));
	char name[64] = {};
	if (!getName || getName(input.keysym, name, sizeof name) <= 0)
		return std::string();
	return name;
}

void sendInput(GstElement *wpesrc, const InputEvent &input)
{
	const auto modifiers = GstNavigationModifierType(input.modifiers);
	std::vector<GstEvent *> events;
	switch (input.kind) {
	case InputKind::Move:
	case InputKind::Leave:
		events.push_back(gst_navigation_event_new_mouse_move(input.x, input.y, modifiers));
		break;
	case InputKind::Press:
		// WebKit of Debian 12 counts no clicks: the page's bridge gives the press OBS's count.
		if (input.clicks >= 2)
			announceClicks(wpesrc, input.clicks);
		events.push_back(
			gst_navigation_event_new_mouse_button_press(int(input.button), input.x, input.y, modifiers));
		break;
	case InputKind::Release:
		events.push_back(
			gst_navigation_event_new_mouse_button_release(int(input.button), input.x, input.y, modifiers));
		break;
	case InputKind::Wheel:
		for (uint32_t step = 0; step < input.steps; ++step)
			events.push_back(
				gst_navigation_event_new_mouse_scroll(input.x, input.y, input.dx, input.dy, modifiers));
		break;
	case InputKind::KeyDown:
	case InputKind::KeyUp: {
		const std::string name = keyName(input);
		if (name.empty())
			return;
		events.push_back(input.kind == InputKind::KeyDown
					 ? gst_navigation_event_new_key_press(name.c_str(), modifiers)
					 : gst_navigation_event_new_key_release(name.c_str(), modifiers));
		break;
	}
	case InputKind::Focus:
	case InputKind::Blur:
		// wpesrc's view is always focused, and WebKit keeps it so: the page hears it from its bridge.
		tellFocused(wpesrc, input.kind == InputKind::Focus);
		return;
	}
	// Sent to the pad: wpesrc's video source takes navigation only there.
	GstPad *pad = gst_element_get_static_pad(wpesrc, "video");
	for (GstEvent *event : events) {
		if (pad)
			gst_pad_send_event(pad, event);
		else
			gst_event_unref(event);
	}
	if (pad)
		gst_object_unref(pad);
}

void applyStyleSheet(GstElement *wpesrc, const std::string &css)
{
	// After the page's own sheets, as the last element of the head, so that it wins where it matches as much.
	const std::string script =
		"(function(){var c=" + scriptString(css) +
		",s=document.getElementById('lorvalen-page-css');"
		"if(!c){if(s)s.remove();return;}"
		"if(!s){s=document.createElement('style');s.id='lorvalen-page-css';}"
		"if(s.textContent!==c)s.textContent=c;"
		"var p=document.head||document.documentElement;if(p&&p.lastElementChild!==s)p.appendChild(s);})()";
	runScript(wpesrc, script);
}

} // namespace page

#include "page-source/page_bridge.hpp"

#include "page-source/page_rules.hpp"
#include "page-source/webkit_quirks.hpp"

GST_DEBUG_CATEGORY_EXTERN(lorvalen_page_debug);
#define GST_CAT_DEFAULT lorvalen_page_debug

namespace page {

namespace {

// Where the view's load events go.
struct View {
	void (*onLoad)(PageLoad, void *) = nullptr;
	void *data = nullptr;
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

// WPE thread, before the view's first load.
void onConfigureWebView(GstElement *, GObject *view, gpointer)
{
	g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), nullptr);
}

} // namespace

void watchView(GstElement *wpesrc, void (*onLoad)(PageLoad event, void *data), void *data)
{
	state.onLoad = onLoad;
	state.data = data;
	connectToVideoSource(wpesrc, "configure-web-view", G_CALLBACK(onConfigureWebView), nullptr);
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
	GST_TRACE("running %s", script.c_str());
	g_signal_emit_by_name(wpesrc, "run-javascript", script.c_str());
}

} // namespace page

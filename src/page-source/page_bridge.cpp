#include "page-source/page_bridge.hpp"

GST_DEBUG_CATEGORY_EXTERN(lorvalen_page_debug);
#define GST_CAT_DEFAULT lorvalen_page_debug

namespace page {

namespace {

void runScript(GstElement *wpesrc, const char *script)
{
	GST_TRACE("running %s", script);
	g_signal_emit_by_name(wpesrc, "run-javascript", script);
}

} // namespace

void applyStyleSheet(GstElement *wpesrc, const std::string &css)
{
	if (css.empty())
		return;
	gchar *quoted = g_strescape(css.c_str(), nullptr);
	gchar *script =
		g_strdup_printf("(function(){var s=document.getElementById('lorvalen-page-css');"
				"if(s&&s.isConnected)return;s=document.createElement('style');s.id='lorvalen-page-css';"
				"s.textContent=\"%s\";(document.head||document.documentElement).appendChild(s);})()",
				quoted);
	runScript(wpesrc, script);
	g_free(script);
	g_free(quoted);
}

void reloadPage(GstElement *wpesrc)
{
	GST_DEBUG("reloading the page");
	runScript(wpesrc, "location.reload()");
}

} // namespace page

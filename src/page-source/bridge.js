// Runs at document start in every frame of the page (a WebKit user script the page helper adds). It gives the page
// window.obsstudio as OBS's own browser source does, and posts the page's calls and console lines to the helper
// through the script message handler "lorvalen". The helper answers through window.__lorvalenObs: answer(id,
// value) for a callback, dispatch(name, detail) for an event, clickCount(n) before a press OBS counted,
// visibility(hidden) when OBS hides or shows the source, focus(focused) when OBS gives or takes the keyboard.
// It runs them in the main frame only, which hands answers, events and visibility on to child frames.
(function () {
	'use strict';
	if (window.__lorvalenObs)
		return;
	var handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.lorvalen;
	if (!handler)
		return;
	var post = handler.postMessage.bind(handler);
	var stringify = JSON.stringify;
	// Callback ids are this frame's token and a count: an answer finds the frame that asked.
	var token = Math.random().toString(36).slice(2, 10);
	var next = 0;
	var callbacks = new Map();

	var names = ['getControlLevel', 'getCurrentScene', 'getStatus', 'startRecording', 'stopRecording',
		'startStreaming', 'stopStreaming', 'pauseRecording', 'unpauseRecording', 'startReplayBuffer',
		'stopReplayBuffer', 'saveReplayBuffer', 'startVirtualcam', 'stopVirtualcam', 'getScenes',
		'setCurrentScene', 'getTransitions', 'getCurrentTransition', 'setCurrentTransition'];

	// The version of OBS's own browser source whose API this is: pages compare it.
	var obsstudio = { pluginVersion: '2.26.8' };
	names.forEach(function (name) {
		obsstudio[name] = function () {
			var args = Array.prototype.slice.call(arguments);
			var id = '';
			if (typeof args[0] === 'function') {
				id = token + '-' + (++next);
				callbacks.set(id, args.shift());
			}
			// Only setCurrentScene and setCurrentTransition take an argument, a name.
			post({ t: 'call', id: id, name: name, arg: typeof args[0] === 'string' ? args[0] : '' });
		};
	});
	window.obsstudio = obsstudio;

	function toFrames(message) {
		for (var i = 0; i < window.frames.length; ++i) {
			try {
				window.frames[i].postMessage(message, '*');
			} catch (e) {
			}
		}
	}

	function answer(id, value) {
		var callback = callbacks.get(id);
		if (callback) {
			callbacks.delete(id);
			callback(value);
		} else {
			toFrames({ __lorvalenObs: 'answer', id: id, value: value });
		}
	}

	function dispatch(name, detail) {
		window.dispatchEvent(new CustomEvent(name, { detail: detail }));
		// The callbacks older pages set instead of listening.
		if (name === 'obsSourceVisibleChanged' && typeof obsstudio.onVisibilityChange === 'function')
			obsstudio.onVisibilityChange(!!(detail && detail.visible));
		if (name === 'obsSourceActiveChanged' && typeof obsstudio.onActiveChange === 'function')
			obsstudio.onActiveChange(!!(detail && detail.active));
		toFrames({ __lorvalenObs: 'event', name: name, detail: detail });
	}

	// A source OBS shows nowhere tells its page, as a browser tells the page of a hidden tab. WebKit itself goes on
	// taking the page for shown: told otherwise, it would pause the page's media for good.
	var hidden = false;
	['visibilityState', 'hidden'].forEach(function (name) {
		var own = Object.getOwnPropertyDescriptor(Document.prototype, name);
		if (!own || !own.get)
			return;
		Object.defineProperty(document, name, {
			configurable: true, enumerable: true,
			get: function () {
				return hidden ? (name === 'hidden' ? true : 'hidden') : own.get.call(this);
			}
		});
	});
	// A hidden document gets no animation frames: those asked for wait until it is shown. (Older WebKit stops them
	// itself once the helper holds its frames; WebKit 2.48 paces them by a timer of its own.)
	var ownRequest = window.requestAnimationFrame, ownCancel = window.cancelAnimationFrame;
	// Ids of their own, positive as the page expects, far above the ones WebKit counts from 1.
	var waiting = new Map(), nextWaiting = 0x40000000;
	if (ownRequest && ownCancel) {
		window.requestAnimationFrame = function (callback) {
			if (!hidden)
				return ownRequest.call(window, callback);
			waiting.set(++nextWaiting, callback);
			return nextWaiting;
		};
		window.cancelAnimationFrame = function (id) {
			if (!waiting.delete(id))
				ownCancel.call(window, id);
		};
	}
	function visibility(isHidden) {
		if (hidden !== isHidden) {
			hidden = isHidden;
			document.dispatchEvent(new Event('visibilitychange', { bubbles: true }));
			if (!hidden) {
				waiting.forEach(function (callback) {
					ownRequest.call(window, callback);
				});
				waiting.clear();
			}
		}
		toFrames({ __lorvalenObs: 'visibility', hidden: isHidden });
	}

	if (window !== window.top) {
		window.addEventListener('message', function (e) {
			var m = e.data;
			if (e.source !== window.parent || !m || typeof m.__lorvalenObs !== 'string')
				return;
			e.stopImmediatePropagation();
			if (m.__lorvalenObs === 'answer')
				answer(m.id, m.value);
			else if (m.__lorvalenObs === 'event')
				dispatch(m.name, m.detail);
			else if (m.__lorvalenObs === 'visibility')
				visibility(m.hidden === true);
		}, true);
	}

	// WebKit before 2.40 counts no clicks of the input wpesrc gives it: detail stays 1 and no dblclick follows.
	// Before the press of a click OBS counted n (n >= 2) the helper calls clickCount(n): the next trusted mousedown,
	// its mouseup and click get detail n, and a left double click is followed by a dblclick. Where WebKit counted
	// the click itself nothing is changed or added.
	var pending = null;
	function clickCount(n) {
		pending = { n: n, until: Date.now() + 1000, active: false };
	}
	function onMouse(e) {
		var p = pending;
		if (!p || !e.isTrusted)
			return;
		if (Date.now() > p.until || (e.type === 'mousedown' && p.active)) {
			pending = null;
			return;
		}
		if (e.type === 'mousedown')
			p.active = true;
		if (!p.active)
			return;
		if (e.detail >= p.n) {
			pending = null;
			return;
		}
		Object.defineProperty(e, 'detail', { value: p.n });
		if (e.type === 'click' || (e.type === 'mouseup' && e.button !== 0)) {
			pending = null;
			if (e.type === 'click' && e.button === 0 && p.n === 2) {
				var target = e.target;
				var init = { bubbles: true, cancelable: true, composed: true, view: window, detail: 2,
					screenX: e.screenX, screenY: e.screenY, clientX: e.clientX, clientY: e.clientY,
					button: 0, buttons: 0, ctrlKey: e.ctrlKey, shiftKey: e.shiftKey, altKey: e.altKey,
					metaKey: e.metaKey };
				setTimeout(function () {
					target.dispatchEvent(new MouseEvent('dblclick', init));
				}, 0);
			}
		}
	}
	['mousedown', 'mouseup', 'click'].forEach(function (type) {
		window.addEventListener(type, onMouse, true);
	});

	// OBS gives a page the keyboard while its Interact window is active, and a page has it at no other time.
	// WebKit's view here always has it, so the top document says what OBS says, and its window hears the change.
	var focused = false;
	if (window === window.top)
		document.hasFocus = function () {
			return focused;
		};
	function focus(isFocused) {
		if (focused !== isFocused && window === window.top) {
			focused = isFocused;
			window.dispatchEvent(new FocusEvent(focused ? 'focus' : 'blur'));
		}
	}

	Object.defineProperty(window, '__lorvalenObs', {
		value: Object.freeze({ answer: answer, dispatch: dispatch, clickCount: clickCount, visibility: visibility,
			focus: focus }),
		enumerable: false, configurable: false, writable: false
	});

	// The console goes on to WebKit's as before, and to the helper: at most ten lines at once and five a second,
	// the next line that goes counting those dropped; the bridge's own rare lines always go. (The helper and OBS
	// count again: a page can post to the handler itself.)
	function text(args) {
		return Array.prototype.map.call(args, function (a) {
			if (typeof a === 'string')
				return a;
			try {
				var s = stringify(a);
				return s === undefined ? String(a) : s;
			} catch (e) {
				return String(a);
			}
		}).join(' ');
	}
	var tokens = 10, last = Date.now(), dropped = 0;
	function toHelper(level, line, always) {
		var now = Date.now();
		tokens = Math.min(10, tokens + (now - last) * 5 / 1000);
		last = now;
		if (tokens < 1 && !always) {
			++dropped;
			return;
		}
		tokens -= 1;
		try {
			post({ t: 'console', level: level, text: line.slice(0, 2000), dropped: dropped });
			dropped = 0;
		} catch (e) {
		}
	}
	['log', 'info', 'debug', 'warn', 'error'].forEach(function (level) {
		var original = console[level];
		console[level] = function () {
			try {
				toHelper(level, text(arguments));
			} catch (e) { // an argument whose conversion throws: the page's own call goes on
			}
			if (original)
				return original.apply(console, arguments);
		};
	});
	// WebKit 2.48 cannot loop a media element: at its end it seeks back to the start, finds itself at the end
	// again and seeks again, thousands of times a second, for ever and in silence. A looping element that seeks as
	// no loop can is taken off WebKit's loop. Where the helper's web extension lets an ended element be played
	// again (the helper sets restartsMedia), the loop is kept here: the element ends, and starts again from the
	// start before the page hears of it; the page's `loop` still reads and sets it. Elsewhere the element plays
	// once, and OBS's log says so.
	var restartsMedia = false;
	var nativeLoop = Object.getOwnPropertyDescriptor(HTMLMediaElement.prototype, 'loop');
	var seeks = new WeakMap(), kept = new WeakMap();
	function keepLoop(m) {
		var loop = { wanted: true };
		kept.set(m, loop);
		Object.defineProperty(m, 'loop', {
			configurable: true,
			get: function () { return loop.wanted; },
			set: function (value) { loop.wanted = !!value; }
		});
	}
	function keeping(m) {
		var loop = kept.get(m);
		return loop !== undefined && loop.wanted;
	}
	window.addEventListener('seeking', function (e) {
		var m = e.target;
		if (!(m instanceof HTMLMediaElement) || !m.loop || kept.has(m))
			return;
		var now = Date.now(), s = seeks.get(m);
		if (!s || now - s.since > 1000)
			seeks.set(m, s = { since: now, count: 0 });
		if (++s.count < 50)
			return;
		seeks.delete(m);
		nativeLoop.set.call(m, false);
		if (restartsMedia)
			keepLoop(m);
		else
			toHelper('warn', 'this WebKit cannot loop <' + m.tagName.toLowerCase() + '> ' +
				String(m.currentSrc).slice(0, 100) + ': it plays once', true);
	}, true);
	window.addEventListener('pause', function (e) {
		if (keeping(e.target) && e.target.ended)
			e.stopImmediatePropagation();
	}, true);
	window.addEventListener('ended', function (e) {
		var m = e.target;
		if (!keeping(m))
			return;
		e.stopImmediatePropagation();
		m.currentTime = 0;
		var played = m.play();
		if (played && played.catch)
			played.catch(function () {});
	}, true);
	window.addEventListener('error', function (e) {
		toHelper('error', 'uncaught ' + String(e.message) + ' (' + e.filename + ':' + e.lineno + ')');
	});
	window.addEventListener('unhandledrejection', function (e) {
		toHelper('error', 'unhandled rejection: ' + String(e.reason));
	});
})();

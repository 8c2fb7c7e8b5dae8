// The page globals written in script: ActiveXObject, Enumerator, VBArray, the window timers
// and console. They stand on the natives in `__brevanto`, which the prelude takes and hides.
#pragma once

namespace brevanto_host {

inline constexpr const char* kPagePrelude = R"js(
(function (g) {
    var n = g.__brevanto;
    delete g.__brevanto;

    g.ActiveXObject = function ActiveXObject(name) {
        return n.create(String(name));
    };

    g.Enumerator = function Enumerator(collection) {
        this._handle = null;
        this._array = [];
        if (collection !== undefined && collection !== null) {
            if (n.isLibraryObject(collection)) this._handle = n.newEnum(collection);
            else if (typeof collection.length === 'number') this._array = collection;
        }
        this.moveFirst();
    };
    g.Enumerator.prototype = {
        _fetch: function () {
            var r = n.enumNext(this._handle);
            this._end = !r[0];
            this._item = r[1];
        },
        moveFirst: function () {
            if (this._handle) { n.enumReset(this._handle); this._fetch(); } else { this._index = 0; }
        },
        moveNext: function () {
            if (this._handle) this._fetch(); else this._index++;
        },
        atEnd: function () {
            return this._handle ? this._end : this._index >= this._array.length;
        },
        item: function () {
            if (this._handle) return this._end ? undefined : this._item;
            return this._array[this._index];
        }
    };

    g.VBArray = function VBArray(array) {
        var info = n.safeArray(array);
        this._dims = info.dims;
        this._lb = info.lbounds;
        this._ub = info.ubounds;
        this._items = info.items;
    };
    g.VBArray.prototype = {
        _dim: function (d) {
            d = d === undefined ? 1 : Number(d);
            if (!(d >= 1 && d <= this._dims)) throw new RangeError('Subscript out of range');
            return d - 1;
        },
        dimensions: function () { return this._dims; },
        lbound: function (d) { return this._lb[this._dim(d)]; },
        ubound: function (d) { return this._ub[this._dim(d)]; },
        toArray: function () { return this._items.slice(); },
        getItem: function () {
            if (arguments.length !== this._dims) throw new RangeError('Subscript out of range');
            var at = 0, stride = 1;
            for (var k = 0; k < this._dims; k++) {
                var i = Number(arguments[k]);
                if (!(i >= this._lb[k] && i <= this._ub[k])) throw new RangeError('Subscript out of range');
                at += (i - this._lb[k]) * stride;
                stride *= this._ub[k] - this._lb[k] + 1;
            }
            return this._items[at];
        }
    };

    // Timers: kept here, run by the host's pump through __runTimers.
    var timers = {}, nextId = 1;
    function addTimer(fn, ms, args, repeat) {
        ms = Number(ms) || 0;
        if (ms < 0) ms = 0;
        var id = nextId++;
        timers[id] = { fn: fn, ms: ms, due: n.now() + ms, args: args, repeat: repeat };
        n.wake();
        return id;
    }
    function clearTimer(id) { delete timers[id]; }
    g.setTimeout = function (fn, ms) {
        return addTimer(fn, ms, Array.prototype.slice.call(arguments, 2), false);
    };
    g.setInterval = function (fn, ms) {
        return addTimer(fn, ms, Array.prototype.slice.call(arguments, 2), true);
    };
    g.clearTimeout = clearTimer;
    g.clearInterval = clearTimer;
    // One pass: runs the timers that were due when it began, earliest first (a callback that
    // throws is reported and the pass goes on); returns ms until the next one is due (0: now),
    // or -1. A timer that is due again (an interval of 0, or slower than its period) waits for
    // the next pass, so the host gets its turn in between.
    Object.defineProperty(g, '__runTimers', { enumerable: false, value: function () {
        var now = n.now(), due = [], id, k;
        for (id in timers) if (timers[id].due <= now) due.push(+id);
        due.sort(function (a, b) { return timers[a].due - timers[b].due || a - b; });
        for (k = 0; k < due.length; k++) {
            var t = timers[due[k]];
            if (!t) continue;  // cleared by an earlier callback of this pass
            if (t.repeat) t.due = Math.max(t.due + t.ms, n.now()); else delete timers[due[k]];
            try {
                if (typeof t.fn === 'function') t.fn.apply(g, t.args);
                else (0, eval)(String(t.fn));
            } catch (e) {
                n.report(e);
            }
        }
        var next = -1;
        now = n.now();
        for (id in timers) {
            var wait = Math.max(0, Math.ceil(timers[id].due - now));
            if (next < 0 || wait < next) next = wait;
        }
        return next;
    } });

    g.window = g;
    g.console = { log: function () {
        n.log(Array.prototype.map.call(arguments, String).join(' '));
    } };
})(this);
)js";

}  // namespace brevanto_host

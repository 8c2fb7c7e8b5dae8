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
    // Runs every timer that is due (earliest first); returns ms to the next one, or -1.
    Object.defineProperty(g, '__runTimers', { enumerable: false, value: function () {
        for (;;) {
            var now = n.now(), first = null;
            for (var id in timers) {
                if (first === null || timers[id].due < timers[first].due) first = id;
            }
            if (first === null) return -1;
            var t = timers[first];
            if (t.due > now) return Math.max(1, Math.ceil(t.due - now));
            if (t.repeat) t.due = Math.max(t.due + t.ms, now); else delete timers[first];
            if (typeof t.fn === 'function') t.fn.apply(g, t.args);
            else (0, eval)(String(t.fn));
        }
    } });

    g.window = g;
    g.console = { log: function () {
        n.log(Array.prototype.map.call(arguments, String).join(' '));
    } };
})(this);
)js";

}  // namespace brevanto_host

// The page globals written in script: ActiveXObject, Enumerator, VBArray, console.log and the
// report of uncaught errors. Called with the page's global object and the bridge's natives.
#pragma once

namespace brevanto_panel {

inline constexpr const char* kPagePrelude = R"js(
(function (g, n) {
    g.ActiveXObject = function ActiveXObject(name) {
        return n.create(String(name));
    };

    g.Enumerator = function Enumerator(collection) {
        this._items = [];
        if (collection !== undefined && collection !== null) {
            var items = n.enumItems(collection);
            if (items) this._items = items;
            else if (typeof collection.length === 'number') this._items = collection;
        }
        this._index = 0;
    };
    g.Enumerator.prototype = {
        moveFirst: function () { this._index = 0; },
        moveNext: function () { this._index++; },
        atEnd: function () { return this._index >= this._items.length; },
        item: function () { return this._items[this._index]; }
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
                if (!(i >= this._lb[k] && i <= this._ub[k]))
                    throw new RangeError('Subscript out of range');
                at += (i - this._lb[k]) * stride;
                stride *= this._ub[k] - this._lb[k] + 1;
            }
            return this._items[at];
        }
    };

    var log = function () {
        n.log(Array.prototype.map.call(arguments, String).join(' '));
    };
    if (g.console) {
        g.console.log = log;
    } else {
        g.console = { log: log };
    }

    // Uncaught errors: while the page's scripts first run (until the load event) they are the
    // page's own failures; later ones come from callbacks and the page goes on.
    if (g.addEventListener) {
        var loaded = false;
        g.addEventListener('load', function () { loaded = true; });
        g.addEventListener('error', function (event) {
            n.report(event.error !== undefined ? event.error : event.message, event.filename,
                     event.lineno, !loaded);
        });
    }
})
)js";

}  // namespace brevanto_panel

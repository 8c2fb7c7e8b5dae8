// The library's page globals written in script, the same in every engine: ActiveXObject,
// Enumerator and VBArray. A function expression, called with the page's global object and the
// engine's natives:
//   create(name)            a library object, for `new ActiveXObject(name)`;
//   enumerate(collection)   a handle on a library collection's items, or null for anything else;
//   enumNext(handle)        [true, item], or [false] past the last item;
//   enumReset(handle)       back to the first item;
//   safeArray(array)        {dims, lbounds, ubounds, items}, items in storage order.
#pragma once

namespace brevanto_host {

inline constexpr const char* kLibraryPrelude = R"js(
(function (g, n) {
    g.ActiveXObject = function ActiveXObject(name) {
        return n.create(String(name));
    };

    g.Enumerator = function Enumerator(collection) {
        this._handle = null;
        this._array = [];
        if (collection !== undefined && collection !== null) {
            this._handle = n.enumerate(collection);
            if (!this._handle && typeof collection.length === 'number') this._array = collection;
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
                if (!(i >= this._lb[k] && i <= this._ub[k]))
                    throw new RangeError('Subscript out of range');
                at += (i - this._lb[k]) * stride;
                stride *= this._ub[k] - this._lb[k] + 1;
            }
            return this._items[at];
        }
    };
})
)js";

}  // namespace brevanto_host

#include "native/money_book.hpp"

#include <algorithm>

namespace tolvane::native {

OrderCharges money_charges(double value, bool sale, const StockCosts& costs, int sid) noexcept {
    const double proportional = value * costs.fee_ratio[sid];
    const double minimum = costs.fee_min[sid];
    OrderCharges charges{(proportional > minimum ? proportional : minimum) + costs.fee_fixed[sid], 0.0};
    if (sale) {
        charges.tax = value * costs.tax_ratio[sid];
        const double left = value - charges.tax;
        if (charges.fee > left) charges.fee = left > 0 ? left : 0.0;
    }
    return charges;
}

double whole_lots(double shares, double lot) noexcept {
    if (!(lot > 0)) return shares;
    const double lots = shares / lot;
    const double nearest = std::round(lots);
    const double whole = std::abs(lots - nearest) <= 1e-9 * std::abs(nearest) ? nearest : std::trunc(lots);
    return whole * lot;
}

double purchase_scale(std::span<const Purchase> purchases, double cash) {
    // cost(k) = constant + slope * k on each piece between two bends.
    struct Bend {
        double at;       // the k where k * value * fee_ratio overtakes fee_min
        double minimum;  // the fee_min that stops counting there
        double rate;     // value * fee_ratio, which starts counting there
    };
    std::vector<Bend> bends;
    double at_one = 0.0;  // cost(1)
    double constant = 0.0;
    double slope = 0.0;
    for (const Purchase& purchase : purchases) {
        const double rate = purchase.value * purchase.fee_ratio;
        at_one += purchase.value + std::max(purchase.fee_min, rate) + purchase.fee_fixed;
        constant += purchase.fee_fixed;
        slope += purchase.value;
        if (rate > 0 && purchase.fee_min > 0) {
            constant += purchase.fee_min;
            bends.push_back({purchase.fee_min / rate, purchase.fee_min, rate});
        } else if (rate > 0) {
            slope += rate;
        } else {
            constant += purchase.fee_min;
        }
    }
    if (at_one <= cash) return 1.0;
    if (!(constant < cash) || !(slope > 0)) return 0.0;
    std::sort(bends.begin(), bends.end(), [](const Bend& a, const Bend& b) { return a.at < b.at; });
    double start = 0.0;
    for (const Bend& bend : bends) {
        if (bend.at >= 1 || constant + slope * bend.at >= cash) break;
        constant -= bend.minimum;
        slope += bend.rate;
        start = bend.at;
    }
    return std::clamp((cash - constant) / slope, start, 1.0);
}

double affordable_purchase(double shares, double price, double cash, const StockCosts& costs, int sid) noexcept {
    const double fill = fill_price(price, 1, costs.slippage[sid]);
    const auto total = [&](double count) {
        const double value = count * fill;
        return value + money_charges(value, false, costs, sid).fee;
    };
    if (!(shares > 0) || total(shares) <= cash) return shares;
    // The value that cash pays for with a proportional fee, else with the minimum fee.
    const double spendable = cash - costs.fee_fixed[sid];
    double value = spendable / (1 + costs.fee_ratio[sid]);
    if (value * costs.fee_ratio[sid] < costs.fee_min[sid]) value = spendable - costs.fee_min[sid];
    if (!(value > 0)) return 0.0;
    const double lot = costs.lot_size[sid];
    double count = std::min(shares, value / fill);
    if (lot > 0) count = std::trunc(count / lot) * lot;
    // The rounding of the expressions above may leave it an ulp too dear.
    for (int attempt = 0; count > 0 && total(count) > cash; ++attempt) {
        if (attempt == 64) return 0.0;
        count = lot > 0 ? (std::round(count / lot) - 1) * lot : count * (1 - 0x1p-40);
    }
    return count > 0 ? count : 0.0;
}

Sale MoneyBook::sale_of(int sid, double shares, double market_price, ExitReason reason,
                             const StockCosts& costs) noexcept {
    Sale sale{0.0, {sid, 0, reason, std::abs(shares), 0.0, 0.0, 0.0, 0.0, 0.0, market_price}};
    if (shares == 0) return sale;
    Order& order = sale.order;
    order.side = shares > 0 ? -1 : 1;
    order.price = fill_price(market_price, order.side, costs.slippage[sid]);
    order.value = order.quantity * order.price;
    const OrderCharges charges = money_charges(order.value, order.side < 0, costs, sid);
    order.fee = charges.fee;
    order.tax = charges.tax;
    sale.proceeds = cash_flow(order);
    return sale;
}

}  // namespace tolvane::native

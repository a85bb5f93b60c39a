'use strict';
// The languages the page can narrow the list to. A face covers one when it
// maps every character of `test`, letters any font of that writing carries;
// `sample` is what such a face shows when it cannot draw the reader's text.
// The page gets this table as a module of its own (page.js).

const kLanguages = Object.freeze([
  {code: 'latin', name: 'Latin', test: 'AZaz', sample: 'Hamburgefonstiv'},
  {code: 'cyrillic', name: 'Cyrillic', test: 'БЖЯбжя', sample: 'Съешь же ещё'},
  {code: 'greek', name: 'Greek', test: 'ΑΩαλω', sample: 'Ξεσκεπάζω την ψυχή'},
  {code: 'armenian', name: 'Armenian', test: 'ԱՖաֆ', sample: 'Հայերեն գիր'},
  {code: 'georgian', name: 'Georgian', test: 'აბგჰ', sample: 'ქართული დამწერლობა'},
  {code: 'hebrew', name: 'Hebrew', test: 'אבשת', sample: 'דג סקרן שט בים'},
  {code: 'arabic', name: 'Arabic', test: 'ابتعي', sample: 'نص حكيم له سر قاطع'},
  {code: 'devanagari', name: 'Devanagari', test: 'अकखग', sample: 'देवनागरी लिपि'},
  {code: 'bengali', name: 'Bengali', test: 'অকখগ', sample: 'বাংলা লিপি'},
  {code: 'tamil', name: 'Tamil', test: 'அகஙச', sample: 'தமிழ் எழுத்து'},
  {code: 'thai', name: 'Thai', test: 'กขคม', sample: 'ภาษาไทย สวัสดี'},
  {code: 'ethiopic', name: 'Ethiopic', test: 'ሀለሐመ', sample: 'ግዕዝ ፊደል'},
  {code: 'zh-hans', name: 'Chinese (Simplified)', test: '们这说国', sample: '天地玄黄 宇宙洪荒'},
  {code: 'zh-hant', name: 'Chinese (Traditional)', test: '們這說國', sample: '天地玄黃 宇宙洪荒'},
  {code: 'ja', name: 'Japanese', test: 'あいアカ日本', sample: 'いろはにほへと 日本語'},
  {code: 'ko', name: 'Korean', test: '가나한글', sample: '다람쥐 헌 쳇바퀴'},
].map(Object.freeze));

module.exports = {kLanguages};
